#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/text.h"
#include "install/shortcut_creator.h"
#include "platform/win32_error.h"
#include "tests/support/log_capture.h"
#include "tests/support/shell_folders.h"
#include "tests/support/test_folders.h"

namespace zuvelo {
namespace {

namespace fs = std::filesystem;
using ::testing::UnorderedElementsAre;

class ShortcutRemovalTest : public testing::Test {
protected:
    test::ScopedMachineRoot machine_;
    test::TempFolder outside_;
    test::LogCapture log_{true};
    test::ScopedShellFolders shell_;
    const fs::path& commonPrograms_ = shell_.commonPrograms();
    const fs::path& userPrograms_ = shell_.userPrograms();
    const fs::path& commonDesktop_ = shell_.commonDesktop();
    const fs::path& userDesktop_ = shell_.userDesktop();

    // The shortcut events of the removal as "name|path|success".
    std::vector<std::string> RemovalEvents() const {
        std::vector<std::string> events;
        for (const Json::Value& e : log_.EventsWhere("operation", "shortcut_create")) {
            events.push_back(e["shortcut_name"].asString() + "|" + e["target_path"].asString() + "|" +
                             (e["success"].asBool() ? "true" : "false"));
        }
        return events;
    }
};

TEST_F(ShortcutRemovalTest, RemovesProductLinksBelowEveryFolderAndKeepsTheRest) {
    const fs::path deep = commonDesktop_ / "a" / "b" / "MyZuvelo.lnk";
    const fs::path upper = userDesktop_ / "Zuvelo.LNK";
    const fs::path programsLink = commonPrograms_ / "Zuvelo" / "Zuvelo.lnk";
    for (const fs::path& file : {deep, upper, programsLink,
                                 commonPrograms_ / "Zuvelo" / "readme.txt", userPrograms_ / "Zuvelo" / "Old.lnk",
                                 commonDesktop_ / "zuvelo.lnk", commonDesktop_ / "Zuvelo.txt",
                                 outside_ / "Zuvelo.lnk"}) {
        test::WriteFile(file, "x");
    }
    test::MakeLink(outside_.path(), commonDesktop_ / "linked", test::LinkKind::Folder);  // never followed

    ShortcutCreator creator;
    EXPECT_EQ(creator.RemoveAllShortcuts(), ErrorCode::Success);
    EXPECT_FALSE(fs::exists(deep));
    EXPECT_FALSE(fs::exists(upper));
    EXPECT_FALSE(fs::exists(commonPrograms_ / "Zuvelo"));
    EXPECT_FALSE(fs::exists(userPrograms_ / "Zuvelo"));
    EXPECT_TRUE(fs::exists(commonDesktop_ / "zuvelo.lnk"));
    EXPECT_TRUE(fs::exists(commonDesktop_ / "Zuvelo.txt"));
    EXPECT_TRUE(fs::exists(outside_ / "Zuvelo.lnk"));
    EXPECT_THAT(RemovalEvents(), UnorderedElementsAre("Zuvelo.lnk|" + Utf8FromPath(programsLink) + "|false",
                                                      "MyZuvelo.lnk|" + Utf8FromPath(deep) + "|false",
                                                      "Zuvelo.LNK|" + Utf8FromPath(upper) + "|false"));
    EXPECT_TRUE(log_.HasMessage("Shortcut removal completed successfully"));
    EXPECT_TRUE(ShortcutCreator::IsShortcutFile(L"/a/b.LnK"));
    EXPECT_FALSE(ShortcutCreator::IsShortcutFile(L"/a/.lnk"));
}

// A folder the search cannot read is reported and makes the result
// ShortcutCreateFailed, a link gone before its turn is passed over quietly, and
// everything else is removed.
TEST_F(ShortcutRemovalTest, AnUnreadableFolderIsShortcutCreateFailedAndTheRestIsRemoved) {
    const fs::path locked = commonDesktop_ / "locked";
    const fs::path vanishing = commonDesktop_ / "Zuvelo.lnk";
    for (const fs::path& file : {locked / "Zuvelo.lnk", vanishing, userDesktop_ / "Zuvelo.lnk"}) test::WriteFile(file, "x");
    ShortcutCreator creator(
        [&](const fs::path& folder, int handle, std::vector<platform::DirectoryReader::Entry>& out) -> SystemError {
            if (folder == locked) return platform::win32::kAccessDenied;
            if (folder == userDesktop_) fs::remove(vanishing);  // the last folder searched
            return ShortcutCreator::ListFolder(folder, handle, out);
        });
    EXPECT_EQ(creator.RemoveAllShortcuts(), ErrorCode::ShortcutCreateFailed);
    EXPECT_TRUE(log_.HasMessage("Failed to read folder entry while searching for shortcuts: " + Utf8FromPath(locked) +
                                " - 5"));
    EXPECT_EQ(log_.EventsWhere("level", "WARNING").size(), 1u);
    EXPECT_TRUE(log_.HasMessage("Shortcut removal completed with warnings"));
    EXPECT_TRUE(fs::exists(locked / "Zuvelo.lnk"));
    EXPECT_FALSE(fs::exists(userDesktop_ / "Zuvelo.lnk"));
}

}  // namespace
}  // namespace zuvelo
