// The shell links the built ZuveloElevated makes, read back from their bytes.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "common/text.h"
#include "install/product_identity.h"
#include "tests/e2e/elevated_program.h"
#include "tests/support/program_runner.h"
#include "tests/support/shell_link_reader.h"
#include "tests/support/test_folders.h"

namespace zuvelo {
namespace {

namespace fs = std::filesystem;

class ShortcutsTest : public testing::Test {
protected:
    test::TempFolder machineRoot_;
    test::TempFolder temp_;
    test::TempFolder work_;
    const fs::path install_ = work_ / "Zuvelo";
    const fs::path programs_ = machineRoot_ / "ProgramData/Microsoft/Windows/Start Menu/Programs/Zuvelo";

    test::ProgramResult Run(const std::vector<std::string>& arguments) {
        return test::RunProgram(kElevatedProgram, arguments,
                                {{"ZUVELO_MACHINE_ROOT", machineRoot_.path().string()}, {"TMPDIR", temp_.path().string()}});
    }

    std::set<fs::path> LinkFiles() {
        std::set<fs::path> links;
        for (const auto& entry : fs::recursive_directory_iterator(machineRoot_.path())) {
            if (entry.path().extension() == ".lnk") links.insert(entry.path());
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
    const test::ShellLinkContents link = test::ReadShellLink(file);
    uint32_t flags = 0x2 | 0x80;  // LinkInfo, Unicode strings
    if (!link.description.empty()) flags |= 0x4;
    if (!link.relativePath.empty()) flags |= 0x8;
    if (!link.workingDirectory.empty()) flags |= 0x10;
    if (!link.arguments.empty()) flags |= 0x20;
    if (!link.iconLocation.empty()) flags |= 0x40;
    EXPECT_EQ(std::string(bytes, 0x14, 4), std::string({static_cast<char>(flags), 0, 0, 0}));
}

TEST_F(ShortcutsTest, CreateShortcutsMakesTheThreeLinks) {
    const fs::path launcher = install_ / "ZuveloLauncher.exe";
    test::WriteFile(launcher, "launcher");
    const test::ProgramResult command = Run({"--create-shortcuts", "--target", install_.string()});
    ASSERT_EQ(command.exitCode, 0) << command.out;
    const fs::path desktopLink = machineRoot_ / "Users/Public/Desktop/Zuvelo.lnk";
    const fs::path uninstallLink = programs_ / "Uninstall Zuvelo.lnk";
    EXPECT_EQ(LinkFiles(), (std::set<fs::path>{programs_ / "Zuvelo.lnk", desktopLink, uninstallLink}));
    for (const fs::path& file : LinkFiles()) ExpectHeader(file);
    EXPECT_EQ(WideToUtf8(test::ReadShellLink(desktopLink).localBasePath), launcher.string());
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
        {{"--remove", "--target", "/", "--purge"}, 1, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.remove[2]);
        test::WriteFile(install_ / "ZuveloLauncher.exe", "launcher");
        ASSERT_EQ(Run({"--write-uninstall", "--target", install_.string(), "--version", "1.0.0"}).exitCode, 0);
        ASSERT_EQ(Run({"--create-shortcuts", "--target", install_.string()}).exitCode, 0);
        const fs::path store = machineRoot_ / "registry" / "HKLM.json";
        const bool refused = row.exitCode == 1;

        EXPECT_EQ(Run(row.remove).exitCode, row.exitCode);
        EXPECT_EQ(fs::exists(install_), row.folderKept);
        EXPECT_EQ(LinkFiles().empty(), !refused);
        EXPECT_EQ(test::ReadFile(store).find("Zuvelo\"") != std::string::npos, refused);
    }
}

}  // namespace
}  // namespace zuvelo
