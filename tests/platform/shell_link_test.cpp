#include "platform/shell_link.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <string>

#include "common/text.h"
#include "tests/support/program_runner.h"
#include "tests/support/shell_link_reader.h"
#include "tests/support/test_folders.h"
#include "tests/support/wine.h"

namespace zuvelo::platform {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

constexpr uint32_t kHasLinkInfo = 0x2;
constexpr uint32_t kHasName = 0x4;
constexpr uint32_t kHasRelativePath = 0x8;
constexpr uint32_t kHasWorkingDir = 0x10;
constexpr uint32_t kHasArguments = 0x20;
constexpr uint32_t kHasIconLocation = 0x40;
constexpr uint32_t kIsUnicode = 0x80;

std::wstring Wide(const fs::path& path) { return Utf8ToWide(Utf8FromPath(path)); }

class ShellLinkTest : public testing::Test {
protected:
    test::TempFolder folder_;
    // A non-ASCII name makes the link carry the Unicode form of the path too.
    const fs::path target_ = folder_ / "Programs" / "Zuv\xC3\xA9lo" / "ZuveloLauncher.exe";
    const fs::path link_ = folder_ / "Menu" / "Zuvelo.lnk";

    void SetUp() override {
        ASSERT_FALSE(HResultFailed(InitializeComForThread()));
        test::WriteFile(target_, "0123456789");
        fs::create_directories(link_.parent_path());
    }
    void TearDown() override { UninitializeCom(); }
};

TEST_F(ShellLinkTest, RoundTripKeepsEveryFieldAndASecondSaveReplacesTheFirst) {
    ShellLink full;
    ASSERT_EQ(full.SetPath(Wide(target_)), kS_OK);
    ASSERT_EQ(full.SetArguments(L"--uninstall \"x y\""), kS_OK);
    ASSERT_EQ(full.SetWorkingDirectory(Wide(target_.parent_path())), kS_OK);
    ASSERT_EQ(full.SetDescription(L"Zuvelo - \U0001F680 launcher"), kS_OK);
    ASSERT_EQ(full.SetIconLocation(L"C:\\Windows\\System32\\appwiz.cpl", -3), kS_OK);
    ASSERT_EQ(full.SetShowCmd(kShowMinNoActive), kS_OK);
    ASSERT_EQ(full.SetHotkey(0x0641), kS_OK);
    ASSERT_EQ(full.Save(Wide(link_)), kS_OK);

    // On Windows the shell's own reading must agree with the file's.
    const test::ShellLinkContents read = test::ReadShellLinkBothWays(link_);
    EXPECT_EQ(read.iconIndex, -3);
    EXPECT_EQ(read.showCommand, 7u);
    EXPECT_EQ(read.hotkey, 0x0641);
    EXPECT_EQ(read.localBasePath, Wide(target_));
    EXPECT_EQ(read.description, L"Zuvelo - \U0001F680 launcher");
    EXPECT_EQ(read.workingDirectory, Wide(target_.parent_path()));
    EXPECT_EQ(read.arguments, L"--uninstall \"x y\"");
    EXPECT_EQ(read.iconLocation, L"C:\\Windows\\System32\\appwiz.cpl");
    EXPECT_TRUE(read.shellLinkClsid);
    EXPECT_EQ(read.linkFlags & (kHasLinkInfo | kHasName | kHasWorkingDir | kHasArguments | kHasIconLocation | kIsUnicode),
              kHasLinkInfo | kHasName | kHasWorkingDir | kHasArguments | kHasIconLocation | kIsUnicode);
    EXPECT_EQ(read.driveType, 3u);  // fixed
    // Wine's shell leaves the target's attributes, size and times out of the header.
    if (!test::RunningUnderWine()) {
        EXPECT_EQ(read.fileAttributes, 0x20u);  // archive
        EXPECT_EQ(read.fileSize, 10u);
        EXPECT_NE(read.writeTime, 0u);
    }
#ifndef _WIN32
    // The rest of the file is the shell's own business on Windows.
    EXPECT_EQ(read.linkFlags, kHasLinkInfo | kHasName | kHasRelativePath | kHasWorkingDir | kHasArguments |
                                  kHasIconLocation | kIsUnicode);
    EXPECT_EQ(read.linkInfoHeaderSize, 0x24u);
    EXPECT_THAT(read.localBasePathAnsi, HasSubstr("/Zuv?lo/"));
    EXPECT_EQ(read.relativePath, L"../Programs/Zuv\u00e9lo/ZuveloLauncher.exe");
#endif

    const fs::path plainTarget = link_.parent_path() / "plain.exe";
    test::WriteFile(plainTarget, "p");
    ShellLink plain;
    ASSERT_EQ(plain.SetPath(Wide(plainTarget)), kS_OK);
    ASSERT_EQ(plain.SetShowCmd(2), kS_OK);  // not a state the format keeps: saved as normal
    ASSERT_EQ(plain.Save(Wide(link_)), kS_OK);
    const test::ShellLinkContents replaced = test::ReadShellLinkBothWays(link_);
    EXPECT_EQ(replaced.localBasePath, Wide(plainTarget));
    EXPECT_EQ(replaced.showCommand, 1u);
    EXPECT_EQ(replaced.description, L"");
    EXPECT_EQ(replaced.linkFlags & (kHasName | kHasArguments), 0u);
    if (!test::RunningUnderWine()) {
        EXPECT_EQ(replaced.fileSize, 1u);
    }
#ifndef _WIN32
    EXPECT_EQ(replaced.linkFlags, kHasLinkInfo | kHasRelativePath | kIsUnicode);
    EXPECT_EQ(replaced.linkInfoHeaderSize, 0x1Cu);
    EXPECT_EQ(replaced.relativePath, L"./plain.exe");
#endif
    // Only the link and its target: nothing of the replaced file is left beside them.
    EXPECT_EQ(std::distance(fs::directory_iterator(link_.parent_path()), fs::directory_iterator()), 2);
}

TEST_F(ShellLinkTest, RefusesWhatALinkCannotHold) {
    ShellLink link;
    EXPECT_EQ(link.Save(Wide(link_)), kE_FAIL);  // no target yet
    EXPECT_EQ(link.SetPath(L"relative/app.exe"), kE_INVALIDARG);
    EXPECT_EQ(link.SetDescription(std::wstring(L"a\0b", 3)), kE_INVALIDARG);
    EXPECT_EQ(link.SetArguments(std::wstring(1, static_cast<wchar_t>(0xD800))), kE_INVALIDARG);
    ASSERT_EQ(link.SetPath(Wide(target_)), kS_OK);
    EXPECT_EQ(link.Save(Wide(folder_ / "missing" / "Zuvelo.lnk")), kE_FAIL);
}

// An independent reader of the format accepts the file and finds the same path.
TEST_F(ShellLinkTest, AnIndependentReaderAcceptsTheFile) {
#ifdef _WIN32
    GTEST_SKIP() << "the independent reader is Linux's lnkinfo";
#else
    ShellLink link;
    ASSERT_EQ(link.SetPath(Wide(target_)), kS_OK);
    ASSERT_EQ(link.SetDescription(L"Zuvelo"), kS_OK);
    ASSERT_EQ(link.SetArguments(L"--uninstall"), kS_OK);
    ASSERT_EQ(link.Save(Wide(link_)), kS_OK);
    const test::ProgramResult result = test::RunProgram("/usr/bin/lnkinfo", {link_.string()});
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_THAT(result.out, HasSubstr("Local path\t\t\t: " + target_.string() + "\n"));
    EXPECT_THAT(result.out, HasSubstr("Description\t\t\t: Zuvelo\n"));
    EXPECT_THAT(result.out, HasSubstr("Command line arguments\t\t: --uninstall\n"));
#endif
}

}  // namespace
}  // namespace zuvelo::platform
