// ZuveloUninstall end to end, its prompt answered through a terminal (Linux) or
// standard input (Windows), on installations that the built ZuveloElevated made:
// files, uninstall entry, receipt and shortcuts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <future>
#include <sstream>

#include <json/writer.h>

#include "common/error_codes.h"
#include "common/paths.h"
#include "common/text.h"
#include "install/product_identity.h"
#include "platform/file_lock.h"
#include "platform/registry.h"
#include "tests/e2e/apply_manifest_fixture.h"
#include "tests/support/log_capture.h"
#include "tests/support/scoped_env.h"
#include "tests/support/shell_folders.h"
#include "tests/support/sleeping_process.h"
#include "uninstall/csidl_folders.h"

namespace zuvelo::test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kUninstaller = ZUVELO_UNINSTALL_PATH;
constexpr const char* kUninstallKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Zuvelo";

// The terminal shows console text and event lines together; an event may follow
// the prompt on its line.
struct Screen {
    std::string text;
    std::vector<Json::Value> events;
};

Screen Split(const std::string& shown) {
    Screen screen;
    std::istringstream in(shown);
    for (std::string line; std::getline(in, line);) {
        const size_t event = line.find("{\"");
        if (event == std::string::npos) {
            screen.text += line + "\n";
            continue;
        }
        if (event > 0) screen.text += line.substr(0, event) + "\n";
        screen.events.push_back(ParseJson(line.substr(event)));
    }
    return screen;
}

std::string U8(const fs::path& path) { return Utf8FromPath(path); }

// On Windows the uninstall entry, the shell folders and the product's data folders
// are the machine's own: each test starts and ends without the product's.
class UninstallerE2e : public ApplyManifestE2e {
protected:
    UninstallerE2e() { ClearMachineState(); }
    ~UninstallerE2e() override { ClearMachineState(); }

    // This process looks where the programs write (on Linux below their machine root).
    const ScopedEnvironmentVariable root_{"ZUVELO_MACHINE_ROOT", machineRoot_.path().string()};
    const ScopedShellFolders shellFolders_;
    const fs::path install_ = work_ / "Program Files" / "Zuvelo";

    std::map<std::string, std::string> Environment() const {
        return {{"ZUVELO_MACHINE_ROOT", machineRoot_.path().string()}, {kTempFolderVariable, temp_.path().string()}};
    }

    void ClearMachineState() const {
        platform::OpenMachineRegistry()->DeleteTree(kUninstallKeyPath);
        fs::remove_all(CommonData());
        fs::remove_all(UserData());
    }

    // The release applied, then the entry, the receipt and the shortcuts.
    void Install() {
        PublishLegacy({{"Launcher/ZuveloLauncher.exe", "l"}, {"Launcher/ZuveloUninstall.exe", "u"},
                       {"ZuveloClient.exe", "c"}, {"data/levels/one.dat", Bytes(3000, 'l')}});
        ASSERT_EQ(Apply(install_).exitCode, 0);
        Json::Value plan;
        for (const char* type : {"write_uninstall", "write_receipt", "create_shortcuts"}) {
            Json::Value& step = plan["operations"].append(Json::Value());
            step["type"] = type;
            step["targetPath"] = U8(install_);
            step["version"] = "2.0.0";
            step["launcherExecutable"] = U8(install_ / "Launcher" / "ZuveloLauncher.exe");
            step["uninstallerExecutable"] = U8(install_ / "Launcher" / "ZuveloUninstall.exe");
        }
        WriteJsonFile(work_ / "plan.json", plan);
        ASSERT_EQ(Run({"--execute-plan", U8(work_ / "plan.json")}).exitCode, 0);
    }

    // `typed` answers the prompt: through a terminal on Linux; on Windows, which has
    // no pseudo-terminal to offer here, through standard input.
    ProgramResult Uninstall(const std::vector<std::string>& arguments, const std::string& typed) {
#ifdef _WIN32
        return RunProgram(kUninstaller, arguments, Environment(), {}, typed);
#else
        return RunInTerminal(kUninstaller, arguments, Environment(), typed);
#endif
    }

    static bool EntryExists() {
        const auto registry = platform::OpenMachineRegistry();
        platform::RegistryKeyHandle key = 0;
        const bool exists = registry->OpenKey(kUninstallKeyPath, key) == 0;
        if (exists) registry->CloseKey(key);
        return exists;
    }

    // The product's shortcut files in the shell folders.
    size_t Shortcuts() const {
        size_t count = 0;
        for (const fs::path& folder : {shellFolders_.commonPrograms(), shellFolders_.userPrograms(),
                                       shellFolders_.commonDesktop(), shellFolders_.userDesktop()}) {
            for (const auto& entry : fs::recursive_directory_iterator(folder)) {
                const bool product = entry.path().native().find(fs::path("Zuvelo").native()) != fs::path::string_type::npos;
                count += product && entry.path().extension() == ".lnk" ? 1 : 0;
            }
        }
        return count;
    }

    static fs::path CommonData() { return NativePath(GetCsidlFolderPath(kCsidlCommonAppData)) / "Zuvelo"; }
    static fs::path UserData() { return NativePath(GetCsidlFolderPath(kCsidlLocalAppData)) / "Zuvelo"; }
};

TEST_F(UninstallerE2e, YesRemovesEverythingAndCountsWhatWasRemoved) {
    Install();
    int files = 0;
    int folders = 1;  // the installation folder itself
    for (const auto& entry : fs::recursive_directory_iterator(install_)) ++(entry.is_directory() ? folders : files);
    SleepingProcess client(install_, "ZuveloClient.exe");
    const size_t shortcuts = Shortcuts();
    ASSERT_EQ(shortcuts, 3u) << "Start menu, desktop, uninstall";

    const ProgramResult result = Uninstall({}, "y\n");
    const Screen screen = Split(result.out);
    EXPECT_EQ(result.exitCode, 0) << result.out;
    EXPECT_THAT(screen.text, HasSubstr("Zuvelo Uninstaller v1.0.0\nPreparing to uninstall Zuvelo...\n\n"));
    EXPECT_THAT(screen.text, HasSubstr("\n=== Zuvelo Uninstall Confirmation ===\n\nInstallation Path: " +
                                       U8(install_) + "\nVersion: 2.0.0\n\nThe following will be removed:\n  - " +
                                       U8(install_) +
                                       "\n  - Shortcut: Zuvelo\n  - Shortcut: Zuvelo\n"
                                       "  - Registry: HKEY_LOCAL_MACHINE\\" + kUninstallKey +
                                       "\n\nDo you want to continue? (Y/N): \n"));
    EXPECT_THAT(screen.text, HasSubstr("\nUninstall completed successfully!\n  Processes terminated: 1\n"
                                       "  Shortcuts removed: 3\n  Registry keys removed: 1\n  Files removed: " +
                                       std::to_string(files) + "\n  Directories removed: " + std::to_string(folders) +
                                       "\n  Duration: "));
    EXPECT_EQ(client.Reap(), kEndedOnRequest);
    EXPECT_FALSE(fs::exists(install_));
    EXPECT_FALSE(EntryExists());
    EXPECT_EQ(Shortcuts(), 0u);
    std::vector<fs::path> logs;
    for (const auto& entry : fs::directory_iterator(CommonData() / "Logs")) logs.push_back(entry.path());
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_THAT(ReadFile(logs[0]), HasSubstr("Registry Keys Removed: 1\nFiles Removed: " + std::to_string(files)));
}

TEST_F(UninstallerE2e, NoOrEndOfInputRemovesNothing) {
    Install();
    const Tree before = TreeOf(install_);
    for (const std::string typed : {"n\n", ""}) {
        SCOPED_TRACE(typed);
        const ProgramResult result = Uninstall({"--quiet"}, typed);
        const Screen screen = Split(result.out);
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_THAT(screen.text, HasSubstr("Do you want to continue? (Y/N): "));
        EXPECT_THAT(screen.text, Not(HasSubstr("Uninstall completed")));
        ASSERT_GE(screen.events.size(), 2u);
        EXPECT_EQ(screen.events.end()[-2]["status"], "cancelled");
        EXPECT_EQ(screen.events.back()["success"], false);
        EXPECT_EQ(TreeOf(install_), before);
        EXPECT_TRUE(EntryExists());
        EXPECT_EQ(Shortcuts(), 3u);
    }
    const ProgramResult loud = Uninstall({}, "n\n");
    EXPECT_THAT(Split(loud.out).text, HasSubstr("Uninstall cancelled by user.\n"));
}

// A path beyond ASCII shows in the prompt as it is: on Windows the console's own
// screen is read back, whatever its code page.
TEST_F(UninstallerE2e, APathBeyondAsciiShowsAsItIsOnTheTerminal) {
    const fs::path folder = work_ / PathFromUtf8("Zuv\xC3\xA9lo \xE6\x97\xA5\xE6\x9C\xAC");
    fs::create_directories(folder);
    const ProgramResult result = RunInTerminal(kUninstaller, {"--install-path", U8(folder)}, Environment(), "n\n");
    EXPECT_EQ(result.exitCode, 0) << result.out;
    EXPECT_THAT(Split(result.out).text, HasSubstr("\nInstallation Path: " + U8(folder) + "\n"));
    EXPECT_THAT(Split(result.out).text, HasSubstr("Uninstall cancelled by user.\n"));
    EXPECT_TRUE(fs::exists(folder));
}

TEST_F(UninstallerE2e, ForcePurgeRemovesTheDataFoldersButKeepsTheLog) {
    Install();
    WriteFile(CommonData() / "state.json", "{}");
    WriteFile(UserData() / "cache/blob", "x");

    const ProgramResult result = Uninstall({"--force", "--purge"}, "");
    EXPECT_EQ(result.exitCode, 0) << result.out;
    EXPECT_THAT(result.out, Not(HasSubstr("Do you want to continue?")));
    EXPECT_FALSE(fs::exists(install_));
    EXPECT_FALSE(fs::exists(UserData()));
    std::vector<std::string> left;
    for (const auto& entry : fs::recursive_directory_iterator(CommonData())) {
        left.push_back(fs::relative(entry.path(), CommonData()).parent_path().string());
    }
    EXPECT_EQ(left, (std::vector<std::string>{"", "Logs"})) << "the Logs folder and one log in it";
}

TEST_F(UninstallerE2e, AnUnrelatedFolderIsNotAnInstallation) {
    Install();
    const Tree before = TreeOf(install_);
    WriteFile(work_ / "Mine/notes.txt", "mine");

    const ProgramResult result = Uninstall({"--force", "--install-path", U8(work_ / "Mine")}, "");
    EXPECT_EQ(result.exitCode, ToInt(ErrorCode::FileNotFound));
    EXPECT_THAT(result.out, HasSubstr("Zuvelo installation not found.\n"));
    EXPECT_TRUE(HasDiagnostic(Split(result.out).events, "WARNING",
                              "Folder does not look like a Zuvelo installation: " + U8(work_ / "Mine")));
    EXPECT_EQ(ReadFile(work_ / "Mine/notes.txt"), "mine");
    EXPECT_EQ(TreeOf(install_), before);
    EXPECT_TRUE(EntryExists());
    EXPECT_EQ(Shortcuts(), 3u);
}

// A removal started while an update runs waits for the update's end, so no
// rollback of the update re-creates the folder after it.
TEST_F(UninstallerE2e, ARemovalDuringAnUpdateWaitsForItAndThenRemovesTheFolder) {
    const std::function<ProgramResult()> removals[] = {
        [&] { return Uninstall({"--force"}, ""); },
        [&] { return Run({"--remove", "--target", U8(install_), "--purge"}); },
    };
    for (const auto& remove : removals) {
        Install();
        platform::FileLock update;
        TakeUpdateLock(update);
        auto removal = std::async(std::launch::async, remove);
        EXPECT_TRUE(WaitForLockWaiters(1));
        EXPECT_TRUE(fs::exists(install_ / "ZuveloClient.exe")) << "nothing is removed while the update runs";
        update.Release();

        const ProgramResult result = removal.get();
        EXPECT_EQ(result.exitCode, 0) << result.out;
        EXPECT_TRUE(HasDiagnostic(Split(result.out).events, "INFO", "Waiting for another update to finish"));
        EXPECT_FALSE(fs::exists(install_));
        EXPECT_FALSE(EntryExists());
    }
}

TEST_F(UninstallerE2e, NonAdministratorIsRefusedWithoutAnyEvent) {
#ifdef _WIN32
    GTEST_SKIP() << "an unelevated run needs setpriv and an unprivileged Linux user; Wine shows no UAC prompt";
#else
    if (::geteuid() != 0 || !fs::exists("/usr/bin/setpriv")) GTEST_SKIP() << "needs root and setpriv";
    TempFolder bin;
    const fs::path program = WorldRunnableCopy(kUninstaller, bin.path());
    const ProgramResult result = RunProgram(
        "/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", program.string(), "--force"},
        Environment());
    EXPECT_EQ(result.exitCode, ToInt(ErrorCode::InsufficientPrivileges));
    EXPECT_EQ(result.err, "Error: This program requires administrator privileges\nPlease run as administrator\n");
    EXPECT_EQ(result.out, "");
#endif
}

}  // namespace
}  // namespace zuvelo::test
