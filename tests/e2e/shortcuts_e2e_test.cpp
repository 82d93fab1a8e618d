// The shell links the built ZuveloElevated makes, read back from their bytes (and on
// Windows by the shell too).
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/text.h"
#include "install/product_identity.h"
#include "install/registry_manager.h"
#include "platform/registry.h"
#include "tests/e2e/elevated_program.h"
#include "tests/support/program_runner.h"
#include "tests/support/scoped_env.h"
#include "tests/support/shell_folders.h"
#include "tests/support/shell_link_reader.h"
#include "tests/support/test_folders.h"

namespace zuvelo {
namespace {

namespace fs = std::filesystem;

// On Windows the entry is in the machine's own registry, shared by every test.
void DeleteUninstallKey() { platform::OpenMachineRegistry()->DeleteTree(kUninstallKeyPath); }

bool UninstallKeyExists() {
    const std::unique_ptr<platform::Registry> registry = platform::OpenMachineRegistry();
    RegistryKeyHolder key(*registry);
    platform::RegistryKeyHandle handle = 0;
    if (registry->OpenKey(kUninstallKeyPath, handle) != 0) return false;
    key.Own(handle);
    return true;
}

class ShortcutsTest : public testing::Test {
protected:
    ShortcutsTest() { DeleteUninstallKey(); }
    ~ShortcutsTest() override { DeleteUninstallKey(); }

    test::ScopedMachineRoot machineRoot_;
    test::TempFolder temp_;
    test::TempFolder work_;
    test::ScopedShellFolders shell_;
    const fs::path install_ = work_ / "Zuvelo";
    const fs::path programs_ = shell_.commonPrograms() / "Zuvelo";
    const std::set<fs::path> linksBefore_ = AllLinks();

    test::ProgramResult Run(const std::vector<std::string>& arguments) {
        return test::RunProgram(kElevatedProgram, arguments,
                                {{"ZUVELO_MACHINE_ROOT", machineRoot_.path().string()},
                                 {test::kTempFolderVariable, temp_.path().string()}});
    }

    // The links that appeared in the shell folders since the test began.
    std::set<fs::path> LinkFiles() const {
        std::set<fs::path> links;
        for (const fs::path& link : AllLinks()) {
            if (!linksBefore_.count(link)) links.insert(link);
        }
        return links;
    }

private:
    std::set<fs::path> AllLinks() const {
        std::set<fs::path> links;
        for (const fs::path& folder : {shell_.commonPrograms(), shell_.userPrograms(), shell_.commonDesktop(),
                                       shell_.userDesktop()}) {
            std::error_code ec;
            for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
                if (it->path().extension() == ".lnk") links.insert(it->path());
            }
        }
        return links;
    }
};

// The 76-byte header starts with its size and the link class, and its flags name
// exactly the strings the file holds.
void ExpectHeader(const fs::path& file) {
    SCOPED_TRACE(file.string());
    const std::string bytes = test::ReadFile(file);
    ASSERT_GT(bytes.size(), 0x4Cu);
    EXPECT_EQ(bytes.substr(0, 20), std::string("\x4C\0\0\0\x01\x14\x02\0\0\0\0\0\xC0\0\0\0\0\0\0\x46", 20));
    const test::ShellLinkContents link = test::ReadShellLinkBothWays(file);
    uint32_t flags = 0x2 | 0x80;  // LinkInfo, Unicode strings
    if (!link.description.empty()) flags |= 0x4;
    if (!link.relativePath.empty()) flags |= 0x8;
    if (!link.workingDirectory.empty()) flags |= 0x10;
    if (!link.arguments.empty()) flags |= 0x20;
    if (!link.iconLocation.empty()) flags |= 0x40;
    // The shell on Windows also stores the target's item ID list, which the Linux writer leaves out.
    flags |= link.linkFlags & 0x1;
    EXPECT_EQ(std::string(bytes, 0x14, 4), std::string({static_cast<char>(flags), 0, 0, 0}));
}

TEST_F(ShortcutsTest, CreateShortcutsMakesTheThreeLinks) {
    const fs::path launcher = install_ / "ZuveloLauncher.exe";
    test::WriteFile(launcher, "launcher");
    const test::ProgramResult command = Run({"--create-shortcuts", "--target", install_.string()});
    ASSERT_EQ(command.exitCode, 0) << command.out;
    const fs::path desktopLink = shell_.commonDesktop() / "Zuvelo.lnk";
    const fs::path uninstallLink = programs_ / "Uninstall Zuvelo.lnk";
    EXPECT_EQ(LinkFiles(), (std::set<fs::path>{programs_ / "Zuvelo.lnk", desktopLink, uninstallLink}));
    for (const fs::path& file : LinkFiles()) ExpectHeader(file);
    EXPECT_EQ(WideToUtf8(test::ReadShellLink(desktopLink).localBasePath), Utf8FromPath(launcher));
    EXPECT_EQ(test::ReadShellLink(desktopLink).description, kProductTagline);
}

// --remove takes the shortcuts, the uninstall entry and the folder: the whole
// folder with --purge; without it a folder that still holds files stays (147),
// and a relative or root target is refused before anything is touched.
TEST_F(ShortcutsTest, RemoveTakesWhatTheInstallationRegistered) {
    struct Row {
        std::vector<std::string> remove;
        int exitCode;
        bool folderKept;
    };
    const std::vector<Row> rows = {
        {{"--remove", "--target", install_.string(), "--purge"}, 0, false},
        {{"--remove", "--target", install_.string()}, 147, true},  // RemoveFailed: not empty
        {{"--remove", "--target", "relative/Zuvelo", "--purge"}, 1, true},
        {{"--remove", "--target", Utf8FromPath(install_.root_path()), "--purge"}, 1, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.remove[2]);
        test::WriteFile(install_ / "ZuveloLauncher.exe", "launcher");
        ASSERT_EQ(Run({"--write-uninstall", "--target", install_.string(), "--version", "1.0.0"}).exitCode, 0);
        ASSERT_EQ(Run({"--create-shortcuts", "--target", install_.string()}).exitCode, 0);
        const bool refused = row.exitCode == 1;

        EXPECT_EQ(Run(row.remove).exitCode, row.exitCode);
        EXPECT_EQ(fs::exists(install_), row.folderKept);
        EXPECT_EQ(LinkFiles().empty(), !refused);
        EXPECT_EQ(UninstallKeyExists(), refused);
    }
}

}  // namespace
}  // namespace zuvelo
