#include "platform/open_beneath.h"

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/text.h"
#include "platform/handles.h"
#include "platform/win32_error.h"
#include "tests/support/test_folders.h"
#include "tests/support/wine.h"

namespace zuvelo::platform {
namespace {

namespace fs = std::filesystem;

TEST(OpenBeneathTest, PinsOnlyAFolder) {
    test::TempFolder temp;
    test::WriteFile(temp / "a" / "file.txt", "data");
    const bool withLink = test::MakeLink(temp / "a", temp / "link", test::LinkKind::Folder);
    struct Row {
        const char* name;
        uint32_t expected;
    };
    for (const Row& row : {Row{"a", 0}, Row{"a/file.txt", win32::kDirectoryNameInvalid},
                           Row{"missing", win32::kFileNotFound}, Row{"a/file.txt/below", win32::kPathNotFound},
                           Row{"link", withLink ? win32::kDirectoryNameInvalid : win32::kFileNotFound}}) {
        UniqueFd pinned;
        EXPECT_EQ(PinFolder(temp / row.name, pinned), row.expected) << row.name;
    }
}

TEST(OpenBeneathTest, OpensForReadingOneComponentAtATime) {
    test::TempFolder temp;
    test::WriteFile(temp / "a" / "b" / "file.txt", "data");
    const bool withLinks = test::MakeLink(temp / "a" / "b", temp / "a" / "link", test::LinkKind::Folder) &&
                           test::MakeLink(temp / "a" / "b" / "file.txt", temp / "a" / "fileLink", test::LinkKind::File);
    UniqueFd root;
    ASSERT_EQ(PinFolder(temp.path(), root), 0u);
    struct Row {
        const char* relative;
        uint32_t expected;
        bool linkFound;
    };
    std::vector<Row> rows = {{"a/b/file.txt", 0, false},
                             {"", 0, false},  // the folder itself
                             {"a/../a/b/file.txt", win32::kInvalidName, false},
                             {"a/missing", win32::kFileNotFound, false},
                             {"a/b/file.txt/x", win32::kPathNotFound, false}};
    if (withLinks) {
        rows.push_back({"a/link/file.txt", win32::kAccessDenied, true});
        rows.push_back({"a/fileLink", win32::kAccessDenied, true});
    }
    for (const Row& row : rows) {
        UniqueFd file;
        bool linkFound = !row.linkFound;
        EXPECT_EQ(OpenForReadingBeneath(root.get(), row.relative, file, linkFound), row.expected) << row.relative;
        EXPECT_EQ(linkFound, row.linkFound) << row.relative;
        EXPECT_EQ(file.valid(), row.expected == 0) << row.relative;
    }
}

TEST(OpenBeneathTest, MakesFoldersBeneathAndStopsAtAnythingElse) {
    test::TempFolder temp;
    test::WriteFile(temp / "file", "");
    fs::create_directories(temp / "a");
    const bool withLink = test::MakeLink(temp / "a", temp / "link", test::LinkKind::Folder);
    UniqueFd root;
    ASSERT_EQ(PinFolder(temp.path(), root), 0u);

    // Deeper than the classic 260-character limit of Windows paths; Wine reads no final
    // path that long (ERROR_MORE_DATA), so there the folders are only made.
    const std::vector<std::string> names(6, std::string(test::RunningUnderWine() ? 10 : 60, 'n'));
    fs::path deep;
    for (const std::string& name : names) deep /= name;
    UniqueFd held;
    bool unsafe = true;
    ASSERT_EQ(OpenFolderBeneath(root.get(), deep, true, held, unsafe), 0u);
    EXPECT_FALSE(unsafe);
    HandleInfo heldInfo;
    HandleInfo named;
    ASSERT_EQ(QueryHandleInfo(held.get(), heldInfo), 0u);
    ASSERT_EQ(QueryPathInfo(temp / deep, false, named), 0u);
    EXPECT_TRUE(heldInfo.IsDirectory() && heldInfo.SameObject(named));
    held.reset();
    for (fs::path folder = deep; !folder.empty(); folder = folder.parent_path()) {  // the deepest first
        UniqueFd parent;
        ASSERT_EQ(OpenFolderBeneath(root.get(), folder.parent_path(), false, parent, unsafe), 0u);
        ASSERT_EQ(RemoveEntryAt(parent.get(), Utf8FromPath(folder.filename()), true), 0u);
    }

    EXPECT_EQ(OpenFolderBeneath(root.get(), "a/none", false, held, unsafe), win32::kFileNotFound);
    EXPECT_FALSE(unsafe);
    EXPECT_EQ(OpenFolderBeneath(root.get(), "file/new", true, held, unsafe), win32::kAccessDenied);
    EXPECT_TRUE(unsafe);
    if (withLink) {
        EXPECT_EQ(OpenFolderBeneath(root.get(), "link/new", true, held, unsafe), win32::kAccessDenied);
        EXPECT_TRUE(unsafe);
        EXPECT_FALSE(fs::exists(temp / "a" / "new"));  // nothing made through the link
    }
}

}  // namespace
}  // namespace zuvelo::platform
