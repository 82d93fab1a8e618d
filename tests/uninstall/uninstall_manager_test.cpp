#include "uninstall/uninstall_manager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <sstream>

#include "common/paths.h"
#include "common/text.h"
#include "install/product_identity.h"
#include "install/registry_manager.h"
#include "platform/machine_root.h"
#include "platform/registry.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_folders.h"

namespace zuvelo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::ElementsAreArray;

class UninstallManagerTest : public testing::Test {
protected:
    test::ScopedMachineRoot root_;
    test::TempFolder work_;
    test::LogCapture log_;
    std::istringstream in_;
    std::ostringstream out_;
    const fs::path product_ = work_ / "Zuvelo";
    const fs::path other_ = work_ / "Other";

    // A manager that looks for no process that could exist.
    UninstallManager Manager() {
        return UninstallManager(ProcessManager({L"no-such-image-" + std::to_wstring(::getpid())}, 10ms), in_, out_);
    }
    static std::wstring W(const fs::path& path) { return Utf8ToWide(path.string()); }
    static void WriteEntry(const fs::path& location) {
        ASSERT_EQ(RegistryManager().WriteUninstallInfo(W(location), L"2.0.0", L"", L""), ErrorCode::Success);
    }
    static bool EntryExists() {
        platform::RegistryKeyHandle key = 0;
        const auto registry = platform::OpenMachineRegistry();
        const bool exists = registry->OpenKey(kUninstallKeyPath, key) == 0;
        if (exists) registry->CloseKey(key);
        return exists;
    }
    static void WriteReceipt(const fs::path& folder) {
        InstallReceipt receipt = BuildInstallReceipt(W(folder), L"2.0.0");
        receipt.shortcuts = {{L"Zuvelo", L"START_MENU", L"ALL_USERS"}, {L"Uninstall Zuvelo", L"START_MENU", L"ALL_USERS"}};
        receipt.uninstallKey = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Zuvelo";
        ASSERT_EQ(WriteInstallReceipt(receipt, W(folder / "InstallReceipt.json")), ErrorCode::Success);
    }
};

TEST_F(UninstallManagerTest, DetectionNeedsEvidenceAndOnlyTheEntryOfThisFolder) {
    const struct {
        const char* name;
        std::function<void()> setUp;
        std::string installPath;  // the option
        bool found;
        bool registryFound;
        std::vector<std::string> items;  // the install path is the first
    } cases[] = {
        {"entry's folder with a receipt", [&] { WriteEntry(product_), WriteReceipt(product_); }, "", true, true,
         {product_.string(), "Shortcut: Zuvelo", "Shortcut: Uninstall Zuvelo", "Registry: HKEY_LOCAL_MACHINE\\SOFTWARE\\Zuvelo"}},
        {"the option wins; the entry names another folder", [&] { WriteEntry(other_), WriteReceipt(product_); },
         product_.string(), true, false, {product_.string(), "Shortcut: Zuvelo", "Shortcut: Uninstall Zuvelo"}},
        {"entry of a folder that is gone", [&] { WriteEntry(product_); }, "", true, true, {product_.string()}},
        {"the default folder with a launcher folder",
         [&] { fs::create_directories(platform::ProgramFilesPath() / "Zuvelo/Launcher"); }, "", true, false,
         {(platform::ProgramFilesPath() / "Zuvelo").string()}},
        {"an empty folder", [&] { fs::create_directories(product_); }, product_.string(), true, false, {product_.string()}},
        {"a folder with the launcher", [&] { test::WriteFile(product_ / "ZuveloLauncher.exe", "l"); }, product_.string(),
         true, false, {product_.string()}},
        {"nothing anywhere", [] {}, "", false, false, {}},
        {"an unrelated folder", [&] { test::WriteFile(other_ / "notes.txt", "mine"); }, other_.string(), false, false, {}},
        {"an unrelated folder the entry names", [&] { WriteEntry(product_); test::WriteFile(other_ / "x", "x"); },
         other_.string(), false, false, {}},
        {"a root folder", [] {}, "/", false, false, {}},
        {"a relative path", [] {}, "relative/Zuvelo", false, false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const fs::path& folder : {product_, other_, root_.path() / "registry", root_.path() / "Program Files"}) {
            fs::remove_all(folder);
        }
        c.setUp();
        UninstallOptions options;
        options.installPath = Utf8ToWide(c.installPath);
        DetectedInstallation detected;
        ASSERT_EQ(Manager().DetectInstallation(options, detected), ErrorCode::Success);
        EXPECT_EQ(detected.found, c.found);
        EXPECT_EQ(detected.registryFound, c.registryFound);
        std::vector<std::string> items;
        for (const std::wstring& item : detected.itemsToRemove) items.push_back(WideToUtf8(item));
        EXPECT_THAT(items, ElementsAreArray(c.items));
    }
    EXPECT_TRUE(log_.HasMessage("Folder does not look like a Zuvelo installation: " + other_.string()));
    EXPECT_TRUE(log_.HasMessage("Folder does not look like a Zuvelo installation: /"));
}

TEST_F(UninstallManagerTest, TheEntryGoesOnlyAfterTheFolder) {
    for (const bool removable : {true, false}) {
        SCOPED_TRACE(removable ? "removable" : "a name the removal refuses");
        test::WriteFile(product_ / "Launcher/ZuveloLauncher.exe", "l");
        if (!removable) test::WriteFile(product_ / "data/odd\\name", "x");
        WriteEntry(product_);
        UninstallOptions options;
        options.force = true;
        UninstallStats stats;
        UninstallManager manager = Manager();
        const ErrorCode result = manager.Run(options, stats);
        EXPECT_EQ(result, removable ? ErrorCode::Success : ErrorCode::DirectoryAccessDenied);
        EXPECT_EQ(EntryExists(), !removable);
        EXPECT_EQ(stats.success, removable);
        EXPECT_EQ(stats.registryKeysRemoved, removable ? 1 : 0);
        EXPECT_EQ(stats.filesRemoved, removable ? 1 : 0);
        EXPECT_EQ(stats.directoriesRemoved, removable ? 2 : 0);
        EXPECT_EQ(fs::exists(product_), !removable);
        const std::string logged = test::ReadFile(NativePath(manager.LogFilePath()));
        EXPECT_EQ(logged.find("Registry Keys Removed: 1\n") != std::string::npos, removable) << logged;
        fs::remove_all(product_);
    }
}

TEST_F(UninstallManagerTest, PurgePassesOverADataFolderWhoseLocationIsUnknown) {
    test::WriteFile(product_ / "ZuveloLauncher.exe", "l");
    // The per-user data folder cannot be made, so its location is unknown; the
    // "Zuvelo" folder in the working folder must not be taken for it.
    test::WriteFile(root_.path() / "Users", "not a folder");
    test::WriteFile(work_ / "cwd/Zuvelo/keep.txt", "mine");
    const fs::path previous = fs::current_path();
    fs::current_path(work_ / "cwd");
    UninstallOptions options;
    options.force = options.purge = true;
    options.installPath = W(product_);
    UninstallStats stats;
    const ErrorCode result = Manager().Run(options, stats);
    fs::current_path(previous);
    EXPECT_EQ(result, ErrorCode::Success);
    EXPECT_EQ(stats.filesRemoved, 1);
    EXPECT_TRUE(fs::exists(work_ / "cwd/Zuvelo/keep.txt"));
}

}  // namespace
}  // namespace zuvelo
