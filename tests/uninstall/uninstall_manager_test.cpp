#include "uninstall/uninstall_manager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
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
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

// The uninstall entry and Program Files are the machine's own on Windows: each test
// starts and ends without the product's.
class UninstallManagerTest : public testing::Test {
protected:
    UninstallManagerTest() { ClearMachineState(); }
    ~UninstallManagerTest() override { ClearMachineState(); }

    test::ScopedMachineRoot root_;
    test::TempFolder work_;
    test::LogCapture log_;
    std::istringstream in_;
    std::ostringstream out_;
    const fs::path product_ = work_ / "Zuvelo";
    const fs::path other_ = work_ / "Other";
    const fs::path productInOtherCase_ = work_ / "zuvelo";  // on Windows product_ itself

    // A manager that looks for no process that could exist.
    UninstallManager Manager() {
        return UninstallManager(ProcessManager({L"no-such-image-" + std::to_wstring(::getpid())}, 10ms), in_, out_);
    }
    static std::wstring W(const fs::path& path) { return WidePath(path); }
    static std::string U8(const fs::path& path) { return Utf8FromPath(path); }
    static void ClearMachineState() {
        platform::OpenMachineRegistry()->DeleteTree(kUninstallKeyPath);
        fs::remove_all(platform::ProgramFilesPath() / "Zuvelo");
    }
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
    // The receipt in folder, naming installPath (folder itself unless given).
    static void WriteReceipt(const fs::path& folder, const fs::path& installPath = {},
                             const std::wstring& version = L"2.0.0") {
        InstallReceipt receipt = BuildInstallReceipt(W(installPath.empty() ? folder : installPath), version);
        receipt.shortcuts = {{L"Zuvelo", L"START_MENU", L"ALL_USERS"}, {L"Uninstall Zuvelo", L"START_MENU", L"ALL_USERS"}};
        receipt.uninstallKey = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Zuvelo";
        ASSERT_EQ(WriteInstallReceipt(receipt, W(folder / "InstallReceipt.json")), ErrorCode::Success);
    }
};

TEST_F(UninstallManagerTest, DetectionNeedsEvidenceAndOnlyTheEntryOfThisFolder) {
    const fs::path drive = work_.path().root_path();  // "/" on Linux, "C:\\" on Windows
    using test::kCaseMatters;
    const auto notes = [&] { test::WriteFile(product_ / "notes.txt", "mine"); };
    const struct {
        const char* name;
        std::function<void()> setUp;
        std::string installPath;  // the option
        bool found;
        bool registryFound;
        std::vector<std::string> items;  // the install path is the first
    } cases[] = {
        {"entry's folder with a receipt", [&] { WriteEntry(product_), WriteReceipt(product_); }, "", true, true,
         {U8(product_), "Shortcut: Zuvelo", "Shortcut: Uninstall Zuvelo", "Registry: HKEY_LOCAL_MACHINE\\SOFTWARE\\Zuvelo"}},
        {"the option wins; the entry names another folder", [&] { WriteEntry(other_), WriteReceipt(product_); },
         U8(product_), true, false, {U8(product_), "Shortcut: Zuvelo", "Shortcut: Uninstall Zuvelo"}},
        {"entry of a folder that is gone", [&] { WriteEntry(product_); }, "", true, true, {U8(product_)}},
        {"the default folder with a launcher folder",
         [&] { fs::create_directories(platform::ProgramFilesPath() / "Zuvelo/Launcher"); }, "", true, false,
         {U8(platform::ProgramFilesPath() / "Zuvelo")}},
        {"an empty folder", [&] { fs::create_directories(product_); }, U8(product_), true, false, {U8(product_)}},
        {"a folder with the launcher", [&] { test::WriteFile(product_ / "ZuveloLauncher.exe", "l"); }, U8(product_),
         true, false, {U8(product_)}},
        {"nothing anywhere", [] {}, "", false, false, {}},
        {"an unrelated folder", [&] { test::WriteFile(other_ / "notes.txt", "mine"); }, U8(other_), false, false, {}},
        {"an unrelated folder the entry names", [&] { WriteEntry(product_); test::WriteFile(other_ / "x", "x"); },
         U8(other_), false, false, {}},
        // Names that differ only in case are two folders on Linux, one on Windows.
        {"the entry's folder in another case",
         [&] { WriteEntry(product_), test::WriteFile(product_ / "ZuveloLauncher.exe", "l"),
               test::WriteFile(productInOtherCase_ / "notes.txt", "mine"); },
         U8(productInOtherCase_), !kCaseMatters, !kCaseMatters,
         kCaseMatters ? std::vector<std::string>{} : std::vector<std::string>{U8(productInOtherCase_)}},
        // Evidence counts only as the installation makes it.
        {"a file named like the launcher folder", [&] { notes(), test::WriteFile(product_ / "Launcher", "x"); },
         U8(product_), false, false, {}},
        {"a folder named like the launcher",
         [&] { notes(), fs::create_directories(product_ / "ZuveloLauncher.exe"); }, U8(product_), false, false, {}},
        {"a link named like the launcher",
         [&] {
             notes(), test::WriteFile(other_ / "real.exe", "l");
             test::MakeLink(other_ / "real.exe", product_ / "ZuveloLauncher.exe", test::LinkKind::File);
         },
         U8(product_), false, false, {}},
        {"a receipt of another folder", [&] { notes(), WriteReceipt(product_, other_); }, U8(product_), false, false,
         {}},
        {"a root folder", [] {}, U8(drive), false, false, {}},
        {"a relative path", [] {}, "relative/Zuvelo", false, false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const fs::path& folder : {product_, other_, productInOtherCase_}) fs::remove_all(folder);
        ClearMachineState();
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
    EXPECT_TRUE(log_.HasMessage("Folder does not look like a Zuvelo installation: " + U8(other_)));
    EXPECT_TRUE(log_.HasMessage("Folder does not look like a Zuvelo installation: " + U8(drive)));
}

// The evidence goes last too: a removal that stops leaves a folder the next run recognises.
TEST_F(UninstallManagerTest, TheEntryAndTheEvidenceGoOnlyAfterTheRest) {
    for (const bool removable : {true, false}) {
        SCOPED_TRACE(removable ? "removable" : "a file the removal refuses");
        log_.Clear();
        test::WriteFile(product_ / "Launcher/ZuveloLauncher.exe", "l");
        test::WriteFile(product_ / "Client/client.bin", "c");
        std::optional<test::UndeletableFile> refused;
        if (!removable) refused.emplace(product_ / "data");
        WriteEntry(product_);
        UninstallOptions options;
        options.force = true;
        UninstallStats stats;
        auto manager = std::make_unique<UninstallManager>(Manager());
        const ErrorCode result = manager->Run(options, stats);
        const fs::path logFile = NativePath(manager->LogFilePath());
        manager.reset();  // closes its log, which Windows keeps from readers until then
        EXPECT_EQ(result, removable ? ErrorCode::Success : ErrorCode::DirectoryAccessDenied);
        EXPECT_EQ(EntryExists(), !removable);
        EXPECT_EQ(stats.success, removable);
        EXPECT_EQ(stats.registryKeysRemoved, removable ? 1 : 0);
        EXPECT_EQ(stats.filesRemoved, removable ? 2 : 0);
        EXPECT_EQ(stats.directoriesRemoved, removable ? 3 : 0);
        EXPECT_EQ(fs::exists(product_), !removable);
        EXPECT_EQ(fs::exists(product_ / "Launcher/ZuveloLauncher.exe"), !removable);
        std::vector<std::string> deleted;
        for (const Json::Value& event : log_.EventsWhere("operation", "file:delete")) {
            deleted.push_back(fs::relative(NativePathUtf8(event["file_path"].asString()), product_).generic_string());
        }
        if (removable) {
            EXPECT_THAT(deleted,
                        ElementsAre("Client/client.bin", "Client", "Launcher/ZuveloLauncher.exe", "Launcher", "."));
        }
        const std::string logged = test::ReadFile(logFile);
        EXPECT_EQ(logged.find("Registry Keys Removed: 1\n") != std::string::npos, removable) << logged;
        refused.reset();
        fs::remove_all(product_);
        fs::remove(logFile);
    }
}

// Escape sequences and a carriage return in a receipt must not rewrite the prompt.
TEST_F(UninstallManagerTest, ThePromptShowsControlCharactersOfTheReceiptAsQuestionMarks) {
    WriteReceipt(product_, {}, L"2.0\x1b[2K\r\x9b" L"1");
    UninstallOptions options;
    options.installPath = W(product_);
    DetectedInstallation detected;
    ASSERT_EQ(Manager().DetectInstallation(options, detected), ErrorCode::Success);
    bool confirmed = true;
    ASSERT_EQ(Manager().ConfirmUninstall(detected, options, confirmed), ErrorCode::Success);
    EXPECT_THAT(out_.str(), ::testing::HasSubstr("\nVersion: 2.0?[2K??1\n"));
}

TEST_F(UninstallManagerTest, PurgePassesOverADataFolderWhoseLocationIsUnknown) {
#ifdef _WIN32
    GTEST_SKIP() << "a data folder's location is made unknown through the Linux machine root only";
#endif
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
