#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <string>
#include <vector>

#include "common/text.h"
#include "install/prereq_installer.h"
#include "install/registry_manager.h"
#include "platform/registry.h"
#include "platform/system_information.h"
#include "tests/support/fake_program.h"
#include "tests/support/log_capture.h"
#include "tests/support/scoped_env.h"
#include "tests/support/test_folders.h"

// Installers working in their own machine root and download folder, with the
// system's answers set by each test and the retry pauses recorded.
namespace zuvelo::test {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

constexpr const wchar_t* kVcKey = L"SOFTWARE\\Microsoft\\VisualStudio\\14.0\\VC\\Runtimes\\X64";
constexpr const wchar_t* kDotNetKey = L"SOFTWARE\\WOW6432Node\\dotnet\\Setup\\InstalledVersions\\x64\\hostfxr";

class FakeSystemInformation final : public platform::SystemInformation {
public:
    bool IsElevated() override { return elevated; }
    uint32_t QueryOsVersion(platform::OsVersion& out) override {
        out = version;
        return versionError;
    }
    uint16_t ProcessorArchitecture() override { return architecture; }
    uint32_t QueryFreeBytes(const fs::path&, uint64_t& out) override {
        out = freeBytes;
        return freeError;
    }

    bool elevated = true;
    platform::OsVersion version{10, 0};
    uint32_t versionError = 0;
    uint16_t architecture = platform::processor::kX64;
    uint64_t freeBytes = 1ull << 40;
    uint32_t freeError = 0;
};

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

class PrereqFixture : public testing::Test {
protected:
    std::unique_ptr<PrereqInstaller> Installer(const std::wstring& cdn = L"https://cdn.invalid") {
        PrereqInstallerOptions options;
        options.downloadDirectory = downloads;
        options.system = system;
        options.installerTimeout = installerTimeout;
        options.commandTimeout = commandTimeout;
        options.sleep = [this](milliseconds pause) {
            sleeps.push_back(pause);
            if (onSleep) onSleep(sleeps.size());
        };
        return std::make_unique<PrereqInstaller>(cdn, options);
    }
    // The table as built, where only the rows of the given types are missing.
    static void MarkMissing(PrereqInstaller& installer, const std::vector<PrerequisiteType>& missing) {
        installer.BuildPrerequisiteTable();
        for (PrerequisiteInfo& row : installer.Prerequisites()) {
            row.installed = std::find(missing.begin(), missing.end(), row.type) == missing.end();
        }
    }

    ScopedMachineRoot machine;
    TempFolder temp;
    fs::path downloads = temp / "ZuveloPrereqs";
    milliseconds installerTimeout{30000};
    milliseconds commandTimeout{30000};
    LogCapture log{true};
    std::shared_ptr<FakeSystemInformation> system = std::make_shared<FakeSystemInformation>();
    std::vector<milliseconds> sleeps;
    std::function<void(size_t)> onSleep;
};

}  // namespace zuvelo::test
