#include "install/registry_manager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <json/value.h>

#include "common/paths.h"
#include "common/text.h"
#include "install/product_identity.h"
#include "platform/registry.h"
#include "platform/win32_error.h"
#include "tests/support/event_summary.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_folders.h"

namespace zuvelo {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::Each;

constexpr const wchar_t* kValueNames[] = {
    L"DisplayName",  L"DisplayVersion", L"Publisher",     L"InstallLocation", L"UninstallString", L"ModifyPath",
    L"DisplayIcon",  L"HelpLink",       L"URLInfoAbout",  L"URLUpdateInfo",   L"EstimatedSize",   L"VersionMajor",
    L"VersionMinor", L"NoModify",       L"NoRepair",      L"NoRemove",        L"InstallDate",     L"InstallSource",
    L"Language",     L"Comments",       L"Contact"};

// The values of a key as "sz <text>" or "dword <n>"; absent values are left out.
std::map<std::wstring, std::string> KeyValues(const std::wstring& path = kUninstallKeyPath) {
    const std::unique_ptr<platform::Registry> registry = platform::OpenMachineRegistry();
    RegistryKeyHolder key(*registry);
    platform::RegistryKeyHandle handle = 0;
    std::map<std::wstring, std::string> values;
    if (registry->OpenKey(path, handle) != 0) return values;
    key.Own(handle);
    for (const wchar_t* name : kValueNames) {
        uint32_t type = 0;
        std::string data;
        if (registry->QueryValue(key.get(), name, type, data) != 0) continue;
        values[name] = type == platform::reg::kSz ? "sz " + WideToUtf8(platform::RegistryStringFromData(data))
                                                   : "dword " + std::to_string(platform::RegistryNumberFromData(data));
    }
    return values;
}

// The success flag of the one registry event of operation; null when there is none.
Json::Value RegistryEventSuccess(const test::LogCapture& log, const std::string& operation) {
    const std::vector<Json::Value> events = log.EventsWhere("operation", "registry:" + operation);
    return events.size() == 1 ? events[0]["success"] : Json::Value();
}

// Another program's entry beside the product's.
constexpr const wchar_t* kSiblingKeyPath =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ZuveloTestSibling";

// Deletes the test's keys: on Windows the registry is the machine's own, shared by every test.
void DeleteTestKeys() {
    const std::unique_ptr<platform::Registry> registry = platform::OpenMachineRegistry();
    for (const wchar_t* path : {kUninstallKeyPath, kSiblingKeyPath}) registry->DeleteTree(path);
}

class RegistryManagerTest : public testing::Test {
protected:
    RegistryManagerTest() { DeleteTestKeys(); }
    ~RegistryManagerTest() override { DeleteTestKeys(); }

    // The install folder joined with a relative path, as the programs join paths.
    std::string InstallPathOf(const char* relative) const { return Utf8FromPath(install_ / relative); }

    test::ScopedMachineRoot machine_;
    test::TempFolder folder_;
    test::LogCapture log_;
    const fs::path install_ = folder_ / "Zuvelo";
    const std::string installText_ = Utf8FromPath(install_);
};

TEST_F(RegistryManagerTest, WritesTheFullValueSetWithTypesAndFlags) {
    test::WriteFile(install_ / "Launcher" / "ZuveloLauncher.exe", std::string(3000, 'x'));
    test::WriteFile(install_ / "Launcher" / "ZuveloUninstall.exe", "u");
    const std::string icon = installText_ + "/Launcher/ZuveloLauncher.exe";
    const std::string uninstaller = installText_ + "/Launcher/ZuveloUninstall.exe";

    RegistryManager manager;
    ASSERT_EQ(manager.WriteUninstallInfo(Utf8ToWide(installText_), L"1.8.0", Utf8ToWide(icon), Utf8ToWide(uninstaller)),
              ErrorCode::Success);
    const std::map<std::wstring, std::string> expected{
        {L"DisplayName", "sz Zuvelo"},
        {L"DisplayVersion", "sz 1.8.0"},
        {L"Publisher", "sz Zuvelo"},
        {L"InstallLocation", "sz " + installText_},
        {L"UninstallString", "sz \"" + uninstaller + "\""},
        {L"DisplayIcon", "sz " + icon + ",0"},
        {L"HelpLink", "sz https://www.zuvelo.example/support"},
        {L"URLInfoAbout", "sz https://www.zuvelo.example/updates"},
        {L"URLUpdateInfo", "sz https://www.zuvelo.example/updates"},
        {L"EstimatedSize", "dword 2"},
        {L"VersionMajor", "dword 1"},
        {L"VersionMinor", "dword 8"},
        {L"NoModify", "dword 1"},
        {L"NoRepair", "dword 1"},
        {L"NoRemove", "dword 0"},
        {L"InstallDate", "sz " + WideToUtf8(RegistryManager::GetInstallDate())},
        {L"Language", "sz 1033"},
        {L"Comments", "sz " + WideToUtf8(kProductTagline)},
        {L"Contact", "sz Zuvelo"},
    };
    EXPECT_EQ(KeyValues(), expected);
    EXPECT_EQ(RegistryManager::GetInstallDate().size(), 8u);
    EXPECT_EQ(RegistryEventSuccess(log_, "write_uninstall_info"), Json::Value(true));
}

TEST_F(RegistryManagerTest, UninstallStringPrefersTheUninstallerThenUninstallExeThenTheLauncher) {
    const std::string uninstaller = installText_ + "/Launcher/ZuveloUninstall.exe";
    const struct {
        const char* present;  // the file made before building the string, relative to the install folder
        std::string expected;
    } cases[] = {
        {"Launcher/ZuveloUninstall.exe", "\"" + uninstaller + "\""},
        {"uninstall.exe", "\"" + InstallPathOf("uninstall.exe") + "\""},
        {"", "\"" + InstallPathOf("ZuveloLauncher.exe") + "\" --uninstall"},
    };
    for (const auto& c : cases) {
        fs::remove_all(install_);
        fs::create_directories(install_);
        if (*c.present) test::WriteFile(install_ / c.present, "x");
        EXPECT_EQ(WideToUtf8(RegistryManager::BuildUninstallString(Utf8ToWide(installText_), Utf8ToWide(uninstaller))),
                  c.expected);
    }
}

// Each write goes over the one before: what a write leaves out never keeps the
// earlier entry's data (no version "2.8" after updating 1.8.0 to 2.0.0, no size
// of a folder that is gone).
TEST_F(RegistryManagerTest, VersionsAndRewritesLeaveNoStaleValues) {
    const struct {
        const wchar_t* version;
        uint32_t major;
        uint32_t minor;
        bool folderExists;
    } cases[] = {
        {L"1.8.0", 1, 8, true}, {L"2.0.0", 2, 0, false}, {L"2", 2, 0, false},
        {L"", 0, 0, false},     {L"-1", 0, 0, false},    {L"4294967296", 0, 0, false},
    };
    RegistryManager manager;
    for (const auto& c : cases) {
        SCOPED_TRACE(WideToUtf8(c.version));
        if (c.folderExists) test::WriteFile(install_ / "client.bin", std::string(4096, 'c'));
        else fs::remove_all(install_);
        EXPECT_EQ(RegistryManager::ParseVersionMajor(c.version), c.major);
        EXPECT_EQ(RegistryManager::ParseVersionMinor(c.version), c.minor);
        ASSERT_EQ(manager.WriteUninstallInfo(Utf8ToWide(installText_), c.version, L"", L""), ErrorCode::Success);
        const std::map<std::wstring, std::string> values = KeyValues();
        const auto valueOf = [&](const wchar_t* name) {
            const auto found = values.find(name);
            return found == values.end() ? std::string("absent") : found->second;
        };
        EXPECT_EQ(valueOf(L"DisplayVersion"), *c.version ? "sz " + WideToUtf8(c.version) : "absent");
        EXPECT_EQ(valueOf(L"VersionMajor"), c.major ? "dword " + std::to_string(c.major) : "absent");
        EXPECT_EQ(valueOf(L"VersionMinor"), c.minor ? "dword " + std::to_string(c.minor) : "absent");
        EXPECT_EQ(valueOf(L"EstimatedSize"), c.folderExists ? "dword 4" : "absent");
        EXPECT_EQ(valueOf(L"NoRemove"), "dword 0");
    }
}

// Only the folder's own files count: a link (a junction too) is neither counted nor
// entered, as it may loop or lead to a whole other tree.
TEST_F(RegistryManagerTest, EstimatedSizeNeverFollowsALink) {
    test::WriteFile(install_ / "bin" / "app.dll", std::string(3072, 'a'));
    const fs::path elsewhere = folder_ / "elsewhere";
    test::WriteFile(elsewhere / "big.bin", std::string(64 * 1024, 'b'));
    test::MakeLink(elsewhere, install_ / "linked", test::LinkKind::Folder);  // none under Wine
    test::MakeLink(elsewhere / "big.bin", install_ / "big.bin", test::LinkKind::File);
    test::MakeLink(install_, install_ / "bin" / "loop", test::LinkKind::Junction);  // only Windows makes these
    test::MakeLink(install_, install_ / "bin" / "loop-link", test::LinkKind::Folder);
    EXPECT_EQ(RegistryManager::CalculateEstimatedSize(Utf8ToWide(installText_)), 3u);
}

// Two writers at once leave the whole entry of one of them, never a mix of both.
TEST_F(RegistryManagerTest, ConcurrentWritersLeaveOneWholeEntry) {
    test::WriteFile(install_ / "client.bin", std::string(8192, 'c'));
    const struct {
        std::wstring path;
        const wchar_t* version;
    } writers[] = {{Utf8ToWide(installText_), L"2.0.0"}, {Utf8ToWide(Utf8FromPath(folder_ / "Other")), L"1.8.3"}};
    std::vector<std::map<std::wstring, std::string>> wholeEntries;
    for (const auto& writer : writers) {
        ASSERT_EQ(RegistryManager().WriteUninstallInfo(writer.path, writer.version, L"", L""), ErrorCode::Success);
        wholeEntries.push_back(KeyValues());
    }
    for (int round = 0; round < 20; ++round) {
        ErrorCode results[2] = {};
        std::vector<std::thread> threads;
        for (size_t i = 0; i < 2; ++i) {
            threads.emplace_back([&, i] {
                results[i] = RegistryManager().WriteUninstallInfo(writers[i].path, writers[i].version, L"", L"");
            });
        }
        for (std::thread& thread : threads) thread.join();
        EXPECT_THAT(results, Each(ErrorCode::Success));
        EXPECT_THAT(wholeEntries, Contains(KeyValues())) << "round " << round;
    }
}

// Fails chosen calls of the machine's registry, as a denied one would.
class FailingRegistry : public platform::Registry {
public:
    uint32_t createError = 0;
    std::wstring failingValue;

    uint32_t CreateKey(const std::wstring& path, platform::RegistryKeyHandle& out) override {
        return createError ? createError : real_->CreateKey(path, out);
    }
    uint32_t OpenKey(const std::wstring& path, platform::RegistryKeyHandle& out) override {
        return real_->OpenKey(path, out);
    }
    void CloseKey(platform::RegistryKeyHandle key) override { real_->CloseKey(key); }
    uint32_t SetValue(platform::RegistryKeyHandle key, const std::wstring& name, uint32_t type,
                      const std::string& data) override {
        return name == failingValue ? platform::win32::kAccessDenied : real_->SetValue(key, name, type, data);
    }
    uint32_t QueryValue(platform::RegistryKeyHandle key, const std::wstring& name, uint32_t& type,
                        std::string& data) override {
        return real_->QueryValue(key, name, type, data);
    }
    uint32_t DeleteValue(platform::RegistryKeyHandle key, const std::wstring& name) override {
        return real_->DeleteValue(key, name);
    }
    // A batch with the failing value changes nothing, as the store saves it whole or not at all.
    uint32_t ChangeValues(platform::RegistryKeyHandle key,
                          const std::vector<platform::RegistryValueChange>& changes) override {
        for (const platform::RegistryValueChange& change : changes) {
            if (change.name == failingValue) return platform::win32::kAccessDenied;
        }
        return real_->ChangeValues(key, changes);
    }
    uint32_t DeleteTree(const std::wstring& path) override { return real_->DeleteTree(path); }

private:
    std::unique_ptr<platform::Registry> real_ = platform::OpenMachineRegistry();
};

TEST_F(RegistryManagerTest, DeniedCreateGives180AndDeniedValueGives183) {
    const struct {
        uint32_t createError;
        const wchar_t* failingValue;
        const char* store;  // HKLM.json before the write; nullptr: none
        ErrorCode expected;
        std::map<std::wstring, std::string> written;
    } cases[] = {
        {platform::win32::kAccessDenied, L"", nullptr, ErrorCode::RegistryAccessDenied, {}},
        {0, L"Publisher", nullptr, ErrorCode::RegistryWriteFailed, {}},
#ifndef _WIN32
        // A store that cannot be parsed is an error and stays as it is (Linux keeps HKLM in a file).
        {0, L"", "{\"keys\": [", ErrorCode::RegistryAccessDenied, {}},
#endif
    };
    for (const auto& c : cases) {
        const fs::path store = machine_.path() / "registry" / "HKLM.json";
        fs::remove_all(store.parent_path());
        DeleteTestKeys();
        if (c.store) test::WriteFile(store, c.store);
        log_.Clear();
        auto registry = std::make_unique<FailingRegistry>();
        registry->createError = c.createError;
        registry->failingValue = c.failingValue;
        RegistryManager manager(std::move(registry));

        EXPECT_EQ(manager.WriteUninstallInfo(Utf8ToWide(installText_), L"1.8.0", L"", L""), c.expected);
        if (c.store) EXPECT_EQ(test::ReadFile(store), c.store);
        else EXPECT_EQ(KeyValues(), c.written);
        EXPECT_EQ(RegistryEventSuccess(log_, "write_uninstall_info"), Json::Value(false));
        const std::vector<std::string> events = test::SummarizeAll(log_.Events());
        EXPECT_THAT(events, Contains("diagnostic ERROR Failed to write uninstall information"));
        if (c.expected == ErrorCode::RegistryAccessDenied) {
            EXPECT_THAT(events, Contains("diagnostic ERROR Failed to create uninstall registry key"));
        }
    }
}

TEST_F(RegistryManagerTest, RemovingAMissingKeySucceedsAndATreeGoesWithItsSubkeys) {
    const std::unique_ptr<platform::Registry> registry = platform::OpenMachineRegistry();
    for (const bool present : {false, true}) {
        if (present) {
            const std::wstring deeper = std::wstring(kUninstallKeyPath) + L"\\Sub\\Deeper";
            for (const std::wstring& path : {deeper, std::wstring(kSiblingKeyPath)}) {
                RegistryKeyHolder key(*registry);
                platform::RegistryKeyHandle handle = 0;
                ASSERT_EQ(registry->CreateKey(path, handle), 0u);
                key.Own(handle);
                ASSERT_EQ(registry->SetValue(key.get(), L"DisplayName", platform::reg::kSz,
                                             platform::RegistryStringData(L"x")),
                          0u);
            }
        }
        log_.Clear();
        EXPECT_EQ(RegistryManager().RemoveUninstallInfo(), ErrorCode::Success);
        EXPECT_EQ(RegistryEventSuccess(log_, "remove_uninstall_info"), Json::Value(true));
        platform::RegistryKeyHandle handle = 0;
        EXPECT_EQ(registry->OpenKey(kUninstallKeyPath, handle), platform::win32::kFileNotFound);
        EXPECT_EQ(KeyValues(kSiblingKeyPath).size(), present ? 1u : 0u);
    }
}

}  // namespace
}  // namespace zuvelo
