#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "install/registry_manager.h"
#include "platform/registry.h"

// The registry values prerequisite detection reads, set and put back by tests.
namespace zuvelo::test {

constexpr const wchar_t* kVcKey = L"SOFTWARE\\Microsoft\\VisualStudio\\14.0\\VC\\Runtimes\\X64";
constexpr const wchar_t* kDotNetKey = L"SOFTWARE\\WOW6432Node\\dotnet\\Setup\\InstalledVersions\\x64\\hostfxr";

inline void SetRegistryValue(const std::wstring& key, const std::wstring& name, uint32_t type, const std::string& data) {
    const std::unique_ptr<platform::Registry> registry = platform::OpenMachineRegistry();
    RegistryKeyHolder holder(*registry);
    platform::RegistryKeyHandle handle = 0;
    ASSERT_EQ(registry->CreateKey(key, handle), 0u);
    holder.Own(handle);
    ASSERT_EQ(registry->SetValue(holder.get(), name, type, data), 0u);
}
inline void SetSz(const std::wstring& key, const std::wstring& name, const std::wstring& text) {
    SetRegistryValue(key, name, platform::reg::kSz, platform::RegistryStringData(text));
}
inline void SetDword(const std::wstring& key, const std::wstring& name, uint32_t value) {
    SetRegistryValue(key, name, platform::reg::kDword, platform::RegistryDwordData(value));
}

// The registry values detection reads, and a key of the tests' own. On Windows the
// registry is the machine's: each test leaves them as it found them.
class DetectionRegistry {
public:
    static constexpr const wchar_t* kTestKey = L"SOFTWARE\\ZuveloTests\\PrereqDetection";

    DetectionRegistry() {
        for (const auto& [key, name] : kRead) {
            Saved value{key, name, false, 0, {}};
            WithKey(key, false, [&](platform::Registry& r, platform::RegistryKeyHandle k) {
                value.present = r.QueryValue(k, name, value.type, value.data) == 0;
            });
            values_.push_back(value);
        }
        for (const std::wstring key : {kTestKey, kRead[0].first, kRead[2].first, kRead[3].first, kRead[4].first,
                                       kRead[5].first}) {
            // The first part of the path that is not there yet goes again at the end.
            for (size_t end = key.find(L'\\'); ; end = key.find(L'\\', end + 1)) {
                const std::wstring prefix = key.substr(0, end);
                if (!WithKey(prefix, false, [](auto&, auto) {})) {
                    created_.push_back(prefix);
                    break;
                }
                if (end == std::wstring::npos) break;
            }
        }
    }
    ~DetectionRegistry() {
        Clear();
        for (const Saved& value : values_) {
            if (value.present) SetRegistryValue(value.key, value.name, value.type, value.data);
        }
        for (const std::wstring& key : created_) platform::OpenMachineRegistry()->DeleteTree(key);
    }
    DetectionRegistry(const DetectionRegistry&) = delete;
    DetectionRegistry& operator=(const DetectionRegistry&) = delete;

    void Clear() {
        for (const auto& [key, name] : kRead) {
            WithKey(key, true, [&](platform::Registry& r, platform::RegistryKeyHandle k) { r.DeleteValue(k, name); });
        }
    }

private:
    struct Saved {
        std::wstring key;
        std::wstring name;
        bool present;
        uint32_t type;
        std::string data;
    };
    static constexpr std::pair<const wchar_t*, const wchar_t*> kRead[] = {
        {kVcKey, L"Version"},
        {kVcKey, L"Installed"},
        {L"SOFTWARE\\WOW6432Node\\Microsoft\\VisualStudio\\14.0\\VC\\Runtimes\\x64", L"Version"},
        {L"SOFTWARE\\Classes\\Installer\\Dependencies\\Microsoft.VS.VC_RuntimeMinimumVSU_amd64,v14", L"Version"},
        {kDotNetKey, L""},
        {L"SOFTWARE\\Microsoft\\DirectX", L"Version"},
    };

    // Runs use on the key when it exists (opened for writing when asked): whether it does.
    template <typename Use>
    static bool WithKey(const std::wstring& path, bool write, Use use) {
        const std::unique_ptr<platform::Registry> registry = platform::OpenMachineRegistry();
        RegistryKeyHolder holder(*registry);
        platform::RegistryKeyHandle handle = 0;
        if (registry->OpenKey(path, handle) != 0) return false;
        holder.Own(handle);
        if (write) {
            holder.Release();
            if (registry->CreateKey(path, handle) != 0) return false;
            holder.Own(handle);
        }
        use(*registry, holder.get());
        return true;
    }

    std::vector<Saved> values_;
    std::vector<std::wstring> created_;
};

}  // namespace zuvelo::test
