#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/paths.h"
#include "common/text.h"
#include "install/shortcut_creator.h"
#include "tests/support/log_capture.h"
#include "tests/support/shell_folders.h"
#include "tests/support/shell_link_reader.h"
#include "tests/support/test_folders.h"

namespace zuvelo {
namespace {

namespace fs = std::filesystem;

// With native separators, as the programs build paths.
std::wstring Wide(const fs::path& path) { return WidePath(path.lexically_normal()); }
std::string Utf8(const fs::path& path) { return WideToUtf8(Wide(path)); }

class ShortcutCreationTest : public testing::Test {
protected:
    test::ScopedMachineRoot machine_;
    test::TempFolder folder_;
    test::LogCapture log_{true};
    test::ScopedShellFolders shell_;
    const fs::path install_ = folder_ / "Zuvelo";
    const fs::path& commonPrograms_ = shell_.commonPrograms();
    const fs::path& commonDesktop_ = shell_.commonDesktop();

    ShortcutInfo OnDesktop(const std::wstring& name) {
        test::WriteFile(folder_ / "app.exe", "app");
        ShortcutInfo shortcut;
        shortcut.name = name;
        shortcut.targetPath = Wide(folder_ / "app.exe");
        shortcut.location = ShortcutLocation::Desktop;
        return shortcut;
    }
};

TEST_F(ShortcutCreationTest, NamesAreCheckedThenSanitised) {
    const struct {
        std::wstring name;
        ErrorCode result;
        std::string file;
    } cases[] = {
        // 255 characters pass the check; with ".lnk" the file system's limit then refuses the file.
        {std::wstring(255, L'a'), ErrorCode::ShortcutCreateFailed, ""},
        {std::wstring(256, L'a'), ErrorCode::InvalidArguments, ""},
        {L"   ", ErrorCode::Success, "Shortcut.lnk"},
        {L" \tZuvelo Beta\t ", ErrorCode::Success, "Zuvelo Beta.lnk"},
    };
    ShortcutCreator creator;
    for (const auto& c : cases) {
        EXPECT_EQ(creator.CreateShortcut(OnDesktop(c.name)), c.result) << c.name.size();
        EXPECT_TRUE(c.file.empty() || fs::is_regular_file(commonDesktop_ / c.file)) << c.file;
    }
    for (const wchar_t forbidden : std::wstring(L"\\/:*?\"<>|")) {
        const std::wstring name = std::wstring(L"a") + forbidden;
        EXPECT_EQ(creator.CreateShortcut(OnDesktop(name)), ErrorCode::InvalidArguments);
        EXPECT_TRUE(log_.HasMessage("Invalid shortcut name: " + WideToUtf8(name)));
        EXPECT_EQ(ShortcutCreator::SanitizeShortcutName(OnDesktop(name)), L"a_");
    }
    EXPECT_EQ(log_.EventsWhere("operation", "shortcut_create").size(), 3u);  // refused names send none
}

TEST_F(ShortcutCreationTest, EachLocationAndScopeHasItsFolder) {
    const fs::path& quickLaunch = shell_.quickLaunch();
    const bool quickLaunchMissing = !fs::exists(quickLaunch);  // a real one may be there already
    const struct {
        ShortcutLocation location;
        ShortcutScope scope;
        ErrorCode result;
        fs::path folder;
    } cases[] = {
        {ShortcutLocation::StartMenu, ShortcutScope::AllUsers, ErrorCode::Success, commonPrograms_},
        {ShortcutLocation::StartMenu, ShortcutScope::CurrentUser, ErrorCode::Success, shell_.userPrograms()},
        {ShortcutLocation::Desktop, ShortcutScope::AllUsers, ErrorCode::Success, commonDesktop_},
        {ShortcutLocation::Desktop, static_cast<ShortcutScope>(5), ErrorCode::Success, shell_.userDesktop()},
        {ShortcutLocation::QuickLaunch, ShortcutScope::AllUsers, ErrorCode::ShortcutCreateFailed, {}},  // missing
        {ShortcutLocation::Taskbar, ShortcutScope::AllUsers, ErrorCode::ShortcutCreateFailed, {}},
        {static_cast<ShortcutLocation>(7), ShortcutScope::AllUsers, ErrorCode::InvalidArguments, {}},
    };
    ShortcutCreator creator;
    for (const auto& c : cases) {
        if (c.location == ShortcutLocation::QuickLaunch && !quickLaunchMissing) continue;
        std::wstring folder;
        EXPECT_EQ(creator.GetShellFolderPath(c.location, c.scope, folder), c.result);
        EXPECT_EQ(folder, c.folder.empty() ? L"" : Wide(c.folder));
    }
    EXPECT_TRUE(log_.HasMessage("Taskbar pinning not implemented in GetShellFolderPath"));
    EXPECT_TRUE(log_.HasMessage("Unknown shortcut type: 7"));
    fs::create_directories(quickLaunch);
    std::wstring folder;
    EXPECT_EQ(creator.GetShellFolderPath(ShortcutLocation::QuickLaunch, ShortcutScope::AllUsers, folder),
              ErrorCode::Success);
    EXPECT_EQ(folder, Wide(quickLaunch));
}

// Which program the uninstall shortcut starts, by what the installation holds.
TEST_F(ShortcutCreationTest, UninstallShortcutTargetsTheBestProgramFound) {
    const fs::path given = folder_ / "given" / "ZuveloLauncher.exe";
    const fs::path missing = folder_ / "missing.exe";
    const fs::path outside = folder_ / "elsewhere.exe";
    const struct {
        std::vector<std::string> present;  // below the installation
        fs::path launcherPath;
        fs::path mainTarget;  // empty: the installation's launcher
        ErrorCode result;
        fs::path uninstallTarget;  // empty: no uninstall shortcut
        std::wstring arguments;
    } cases[] = {
        {{"ZuveloLauncher.exe"}, {}, {}, ErrorCode::Success, install_ / "ZuveloLauncher.exe", L"--uninstall"},
        {{"ZuveloLauncher.exe", "Launcher/ZuveloLauncher.exe"}, {}, {}, ErrorCode::Success,
         install_ / "Launcher/ZuveloLauncher.exe", L"--uninstall"},
        {{"ZuveloLauncher.exe", "Launcher/ZuveloUninstall.exe", "Client/ZuveloUninstall.exe"}, {}, {},
         ErrorCode::Success, install_ / "Launcher/ZuveloUninstall.exe", L""},
        {{"ZuveloLauncher.exe", "Launcher/ZuveloUninstall.exe"}, given, {}, ErrorCode::Success, given, L"--uninstall"},
        {{"ZuveloLauncher.exe", "Client/ZuveloUninstall.exe"}, missing, {}, ErrorCode::Success,
         install_ / "Client/ZuveloUninstall.exe", L""},
        {{}, {}, outside, ErrorCode::Success, {}, L""},
        {{}, {}, {}, ErrorCode::FileNotFound, {}, L""},
    };
    const fs::path uninstallLink = commonPrograms_ / "Zuvelo" / "Uninstall Zuvelo.lnk";
    for (const auto& c : cases) {
        SCOPED_TRACE(Utf8(c.uninstallTarget) + " " + std::to_string(ToInt(c.result)));
        shell_.Restore();
        fs::remove_all(folder_.path());
        for (const std::string& file : c.present) test::WriteFile(install_ / file, "x");
        for (const fs::path& file : {given, outside}) test::WriteFile(file, "x");
        log_.Clear();

        ShortcutCreator creator;
        EXPECT_EQ(creator.CreateShortcutsForInstallation(Wide(install_), Wide(c.mainTarget), L"", Wide(c.launcherPath)),
                  c.result);
        EXPECT_EQ(fs::exists(uninstallLink), !c.uninstallTarget.empty());
        if (!c.uninstallTarget.empty()) {
            const test::ShellLinkContents link = test::ReadShellLinkBothWays(uninstallLink);
            EXPECT_EQ(link.localBasePath, Wide(c.uninstallTarget));
            EXPECT_EQ(link.arguments, c.arguments);
            EXPECT_EQ(link.workingDirectory, Wide(c.uninstallTarget.parent_path()));
        }
        // A missing main target fails both main links: no notification is due.
        EXPECT_EQ(fs::exists(commonDesktop_ / "Zuvelo.lnk"), c.result == ErrorCode::Success);
        EXPECT_EQ(log_.HasMessage("Failed to create some shortcuts"), c.result != ErrorCode::Success);
        EXPECT_EQ(log_.HasMessage("Electron launcher not found for uninstall shortcut: " + Utf8(missing) +
                                  " (will attempt fallbacks)"),
                  c.launcherPath == missing);
    }
}

// Every link starts empty: nothing of the one made before it carries over.
TEST_F(ShortcutCreationTest, EachShortcutStartsFromAFreshLink) {
    ShortcutInfo rich = OnDesktop(L"Rich");
    rich.arguments = L"--rich";
    rich.description = L"Rich one";
    rich.iconPath = L"/icons/rich.ico";
    rich.iconIndex = 4;
    ShortcutCreator creator;
    ASSERT_EQ(creator.CreateShortcuts({rich, OnDesktop(L"Plain")}), ErrorCode::Success);
    const test::ShellLinkContents read = test::ReadShellLinkBothWays(commonDesktop_ / "Rich.lnk");
    EXPECT_EQ(read.arguments + L"|" + read.description + L"|" + read.iconLocation, L"--rich|Rich one|/icons/rich.ico");
    EXPECT_EQ(read.iconIndex, 4);
    const test::ShellLinkContents plain = test::ReadShellLinkBothWays(commonDesktop_ / "Plain.lnk");
    EXPECT_EQ(plain.arguments + plain.description, L"");
    EXPECT_EQ(plain.iconLocation, Wide(folder_ / "app.exe"));
    EXPECT_EQ(plain.iconIndex, 0);
}

}  // namespace
}  // namespace zuvelo
