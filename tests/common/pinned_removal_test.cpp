#include "common/pinned_removal.h"

#include <algorithm>
#include <filesystem>
#include <vector>

#include <gtest/gtest.h>

#include "common/paths.h"
#include "platform/win32_error.h"
#include "tests/support/file_trees.h"
#include "tests/support/test_folders.h"

namespace zuvelo {
namespace {

namespace fs = std::filesystem;

std::wstring W(const fs::path& path) { return WidePath(path); }

using platform::win32::kAccessDenied;
using platform::win32::kDirNotEmpty;
using platform::win32::kFileNotFound;
using platform::win32::kInvalidHandle;
using platform::win32::kInvalidName;
using platform::win32::kPathNotFound;

constexpr const char* kNoLinks = "no symbolic links can be made here (Wine makes none)";

// Windows holds the root and the folders a removal works in without delete sharing:
// nobody renames them meanwhile. On Linux they can move, and the removal notices.
#ifdef _WIN32
constexpr bool kHeldFoldersStayPut = true;
#else
constexpr bool kHeldFoldersStayPut = false;
#endif

platform::UniqueFd OpenHandle(const fs::path& path) {
    platform::UniqueFd handle;
    EXPECT_EQ(platform::OpenPathHandle(path, handle), 0u) << path;
    return handle;
}

TEST(RemovalEntryTest, DeeperFirstCountsBothSeparators) {
    const RemovalEntry top{L"/r/a", "a", true};
    const RemovalEntry mixed{L"/r/a/b/c", "a/b\\c", true};
    const RemovalEntry middle{L"/r/a/b", "a\\b", true};
    EXPECT_TRUE(RemovalEntryDeeperFirst(mixed, top));
    EXPECT_TRUE(RemovalEntryDeeperFirst(middle, top));
    EXPECT_FALSE(RemovalEntryDeeperFirst(top, middle));
    EXPECT_FALSE(RemovalEntryDeeperFirst(top, top));
    std::vector<RemovalEntry> entries{top, mixed, middle};
    std::sort(entries.begin(), entries.end(), RemovalEntryDeeperFirst);
    EXPECT_EQ(entries[0].relativePath, "a/b\\c");
    EXPECT_EQ(entries[1].relativePath, "a\\b");
    EXPECT_EQ(entries[2].relativePath, "a");
}

TEST(FinalPathTest, ReadsTheHandlesPathAndLeavesOutUntouchedOnFailure) {
    test::TempFolder temp;
    fs::create_directories(temp / "dir");
    std::wstring out;
    EXPECT_EQ(GetFinalPathFromHandle(OpenHandle(temp / "dir").get(), out), 0u);
    EXPECT_EQ(out, W(fs::canonical(temp / "dir")));

    out = L"untouched";
    EXPECT_EQ(GetFinalPathFromHandle(-1, out), kInvalidHandle);
    EXPECT_EQ(out, L"untouched");
}

// ---------------------------------------------------------------------------------
// Pinning.

class PinnedRemovalTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = temp_ / "root";
        outside_ = temp_ / "outside";
        test::WriteFile(root_ / "a.txt", "a");
        test::WriteFile(root_ / "sub" / "b.txt", "b");
        test::WriteFile(root_ / "sub" / "deep" / "c.txt", "c");
        test::WriteFile(outside_ / "b.txt", "outside b");
        test::WriteFile(outside_ / "keep" / "c.txt", "outside c");
        outsideBefore_ = test::SnapshotTree(outside_);
    }

    PinnedRoot Pin() {
        PinnedRoot pinned;
        EXPECT_EQ(OpenVerifiedHandle(W(root_), pinned), 0u);
        return pinned;
    }

    SystemError Delete(const PinnedRoot& pinned, const std::string& relative) {
        return DeleteUnderPinnedRoot(pinned, W(root_ / NativePathUtf8(relative)), relative);
    }

    void ExpectOutsideUnchanged() { EXPECT_EQ(test::SnapshotTree(outside_), outsideBefore_); }

    test::TempFolder temp_;
    fs::path root_;
    fs::path outside_;
    test::TreeSnapshot outsideBefore_;
};

TEST_F(PinnedRemovalTest, PinsAFolder) {
    PinnedRoot pinned = Pin();
    EXPECT_TRUE(pinned.IsPinned());
    EXPECT_EQ(pinned.finalPath, W(root_));
    EXPECT_EQ(pinned.extendedPath, ToExtendedLengthPath(W(root_)));
    platform::HandleInfo info;
    ASSERT_EQ(platform::QueryPathInfo(root_, false, info), 0u);
    EXPECT_TRUE(pinned.identity.SameObject(info));
}

TEST_F(PinnedRemovalTest, PinsWithBackslashesAndTrailingSeparator) {
    std::wstring path = W(root_) + L"\\";
    std::replace(path.begin(), path.end(), L'/', L'\\');
    PinnedRoot pinned;
    ASSERT_EQ(OpenVerifiedHandle(path, pinned), 0u);
    EXPECT_EQ(pinned.finalPath, W(root_));
}

TEST_F(PinnedRemovalTest, RefusesALinkAFileAndAMissingPath) {
    if (!test::MakeLink(root_, temp_ / "link", test::LinkKind::Folder)) GTEST_SKIP() << kNoLinks;
    PinnedRoot pinned;
    EXPECT_EQ(OpenVerifiedHandle(W(temp_ / "link"), pinned), kAccessDenied);
    EXPECT_EQ(OpenVerifiedHandle(W(root_ / "a.txt"), pinned), kAccessDenied);
    EXPECT_EQ(OpenVerifiedHandle(W(temp_ / "missing"), pinned), kFileNotFound);
    EXPECT_EQ(OpenVerifiedHandle(W(root_ / "a.txt" / "x"), pinned), kPathNotFound);
    EXPECT_FALSE(pinned.IsPinned());
}

TEST_F(PinnedRemovalTest, RefusesAFolderReachedThroughALink) {
    if (!test::MakeLink(root_, temp_ / "link", test::LinkKind::Folder)) GTEST_SKIP() << kNoLinks;
    PinnedRoot pinned;
    EXPECT_EQ(OpenVerifiedHandle(W(temp_ / "link" / "sub"), pinned), kAccessDenied);
}

TEST_F(PinnedRemovalTest, HandleLiesUnderRootOnlyAtTheExactPlace) {
    PinnedRoot pinned = Pin();
    const platform::UniqueFd handle = OpenHandle(root_ / "sub" / "deep");
    const int deep = handle.get();
    EXPECT_EQ(HandleLiesUnderRoot(pinned, deep, "sub/deep"), 0u);
    EXPECT_EQ(HandleLiesUnderRoot(pinned, deep, "sub\\deep"), 0u);
    // Names compare as the file system compares them: case matters on Linux only.
    EXPECT_EQ(HandleLiesUnderRoot(pinned, deep, "SUB/Deep").ok(), !test::kCaseMatters);
    EXPECT_EQ(HandleLiesUnderRoot(pinned, deep, "sub"), kAccessDenied);
    EXPECT_EQ(HandleLiesUnderRoot(pinned, deep, "deep"), kAccessDenied);
}

// ---------------------------------------------------------------------------------
// Deleting below the pinned root.

TEST_F(PinnedRemovalTest, DeletesAFileAndAnEmptyFolder) {
    PinnedRoot pinned = Pin();
    EXPECT_EQ(Delete(pinned, "sub/deep/c.txt"), SystemError());
    EXPECT_FALSE(fs::exists(root_ / "sub" / "deep" / "c.txt"));
    EXPECT_EQ(Delete(pinned, "sub\\deep"), 0u);
    EXPECT_FALSE(fs::exists(root_ / "sub" / "deep"));
    EXPECT_TRUE(fs::exists(root_ / "sub" / "b.txt"));
}

TEST_F(PinnedRemovalTest, AFolderThatIsNotEmptyFailsWithoutRefusal) {
    PinnedRoot pinned = Pin();
    EXPECT_EQ(Delete(pinned, "sub"), kDirNotEmpty);  // not refused
    EXPECT_TRUE(fs::exists(root_ / "sub" / "b.txt"));
}

TEST_F(PinnedRemovalTest, AVanishedItemFailsWithNotFound) {
    PinnedRoot pinned = Pin();
    EXPECT_EQ(Delete(pinned, "gone.txt"), kFileNotFound);  // not refused
    EXPECT_EQ(Delete(pinned, "gone/x.txt"), kFileNotFound);
}

TEST_F(PinnedRemovalTest, UnsafeRelativePathsAreRefused) {
    PinnedRoot pinned = Pin();
    for (const std::string relative : {"../outside/b.txt", "sub/../a.txt", "/etc/passwd", "", "sub/", "a.txt."}) {
        EXPECT_EQ(DeleteUnderPinnedRoot(pinned, W(root_ / "x"), relative), SystemError::Refusal(kInvalidName))
            << relative;
    }
    EXPECT_TRUE(fs::exists(root_ / "a.txt"));
    ExpectOutsideUnchanged();
}

TEST_F(PinnedRemovalTest, AnUnpinnedRootIsRefused) {
    PinnedRoot unpinned;
    EXPECT_EQ(DeleteUnderPinnedRoot(unpinned, W(root_ / "a.txt"), "a.txt"), SystemError::Refusal(kAccessDenied));
    EXPECT_TRUE(fs::exists(root_ / "a.txt"));
}

TEST_F(PinnedRemovalTest, AFullPathElsewhereIsRefused) {
    PinnedRoot pinned = Pin();
    EXPECT_EQ(DeleteUnderPinnedRoot(pinned, W(outside_ / "b.txt"), "sub/b.txt"), SystemError::Refusal(kAccessDenied));
    EXPECT_TRUE(fs::exists(root_ / "sub" / "b.txt"));
    ExpectOutsideUnchanged();
}

TEST_F(PinnedRemovalTest, ASubfolderReplacedByALinkAfterTheScanIsRefused) {
    PinnedRoot pinned = Pin();
    // After the scan: sub goes away and a link to the outside folder takes its place.
    fs::rename(root_ / "sub", temp_ / "moved-sub");
    if (!test::MakeLink(outside_, root_ / "sub", test::LinkKind::Folder)) GTEST_SKIP() << kNoLinks;
    const test::TreeSnapshot movedBefore = test::SnapshotTree(temp_ / "moved-sub");

    EXPECT_EQ(Delete(pinned, "sub/b.txt"), SystemError::Refusal(kAccessDenied));
    EXPECT_EQ(Delete(pinned, "sub/keep/c.txt"), SystemError::Refusal(kAccessDenied));
    ExpectOutsideUnchanged();
    EXPECT_EQ(test::SnapshotTree(temp_ / "moved-sub"), movedBefore);

    // The folder's own entry is now the link: only the link goes.
    EXPECT_EQ(Delete(pinned, "sub"), 0u);
    EXPECT_FALSE(fs::exists(fs::symlink_status(root_ / "sub")));
    ExpectOutsideUnchanged();
}

TEST_F(PinnedRemovalTest, AFolderMovedOutAfterItsFirstFileIsNotFollowed) {
    test::WriteFile(root_ / "sub" / "more.txt", "more");
    PinnedRoot pinned = Pin();
    ASSERT_EQ(Delete(pinned, "sub/b.txt"), 0u);                      // "sub" is open now
    std::error_code moved;
    fs::rename(root_ / "sub", outside_ / "moved-sub", moved);        // and moves out
    if (kHeldFoldersStayPut) {
        EXPECT_TRUE(moved);
        EXPECT_EQ(Delete(pinned, "sub/more.txt"), 0u);
        EXPECT_FALSE(fs::exists(root_ / "sub" / "more.txt"));
        ExpectOutsideUnchanged();
        return;
    }
    ASSERT_FALSE(moved) << moved.message();
    test::WriteFile(root_ / "sub" / "more.txt", "a new one");        // a new "sub" takes its place
    const test::TreeSnapshot outsideNow = test::SnapshotTree(outside_);

    EXPECT_EQ(Delete(pinned, "sub/more.txt"), 0u);  // the file now at that place
    EXPECT_FALSE(fs::exists(root_ / "sub" / "more.txt"));
    EXPECT_EQ(test::SnapshotTree(outside_), outsideNow);
    EXPECT_EQ(test::ReadFile(outside_ / "moved-sub" / "more.txt"), "more");
}

TEST_F(PinnedRemovalTest, ALinkInsideTheTreeIsDeletedAsItself) {
    if (!test::MakeLink(outside_ / "b.txt", root_ / "file-link", test::LinkKind::File)) GTEST_SKIP() << kNoLinks;
    if (!test::MakeLink(outside_, root_ / "dir-link", test::LinkKind::Folder)) GTEST_SKIP() << kNoLinks;
    PinnedRoot pinned = Pin();
    EXPECT_EQ(Delete(pinned, "file-link"), 0u);
    EXPECT_EQ(Delete(pinned, "dir-link"), 0u);
    EXPECT_FALSE(fs::exists(fs::symlink_status(root_ / "file-link")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(root_ / "dir-link")));
    // Going through the link is refused.
    if (!test::MakeLink(outside_, root_ / "dir-link", test::LinkKind::Folder)) GTEST_SKIP() << kNoLinks;
    EXPECT_TRUE(Delete(pinned, "dir-link/b.txt").refused());
    ExpectOutsideUnchanged();
}

TEST_F(PinnedRemovalTest, TheRootRenamedAfterPinningIsRefused) {
    PinnedRoot pinned = Pin();
    std::error_code renamed;
    fs::rename(root_, temp_ / "renamed", renamed);
    if (kHeldFoldersStayPut) {
        EXPECT_TRUE(renamed);
        EXPECT_TRUE(fs::exists(root_ / "a.txt"));
        return;
    }
    ASSERT_FALSE(renamed) << renamed.message();
    // The old name now leads outside.
    if (!test::MakeLink(outside_, root_, test::LinkKind::Folder)) GTEST_SKIP() << kNoLinks;
    const test::TreeSnapshot renamedBefore = test::SnapshotTree(temp_ / "renamed");

    EXPECT_EQ(Delete(pinned, "a.txt"), SystemError::Refusal(kAccessDenied));
    EXPECT_EQ(Delete(pinned, "b.txt"), SystemError::Refusal(kAccessDenied));
    EXPECT_EQ(DeletePinnedRoot(pinned), kAccessDenied);
    ExpectOutsideUnchanged();
    EXPECT_EQ(test::SnapshotTree(temp_ / "renamed"), renamedBefore);
}

TEST_F(PinnedRemovalTest, AReadOnlyFileAndFolderAreDeleted) {
    fs::create_directories(root_ / "ro-dir");
    fs::permissions(root_ / "a.txt", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    fs::permissions(root_ / "ro-dir", fs::perms::owner_read | fs::perms::owner_exec);
    PinnedRoot pinned = Pin();
    EXPECT_EQ(Delete(pinned, "a.txt"), 0u);
    EXPECT_EQ(Delete(pinned, "ro-dir"), 0u);
    EXPECT_FALSE(fs::exists(root_ / "a.txt"));
    EXPECT_FALSE(fs::exists(root_ / "ro-dir"));
}

TEST_F(PinnedRemovalTest, DeletePinnedRoot) {
    PinnedRoot unpinned;
    EXPECT_EQ(DeletePinnedRoot(unpinned), kInvalidHandle);

    PinnedRoot pinned = Pin();
    EXPECT_EQ(DeletePinnedRoot(pinned), kDirNotEmpty);
    EXPECT_TRUE(fs::exists(root_ / "a.txt"));
    pinned.handle.reset();  // Windows keeps a folder while a handle on it is open

    fs::remove_all(root_);
    fs::create_directories(root_);
    fs::permissions(root_, fs::perms::owner_read | fs::perms::owner_exec);  // read-only folder
    PinnedRoot empty = Pin();
    EXPECT_EQ(DeletePinnedRoot(empty), 0u);
    empty.handle.reset();  // Windows deletes it when its last handle closes
    EXPECT_FALSE(fs::exists(root_));
    ExpectOutsideUnchanged();
}

TEST_F(PinnedRemovalTest, DeletePinnedRootRefusesAFolderSwappedIntoItsPlace) {
    fs::remove_all(root_);
    fs::create_directories(root_);
    PinnedRoot pinned = Pin();
    std::error_code renamed;
    fs::rename(root_, temp_ / "renamed", renamed);
    if (kHeldFoldersStayPut) {
        EXPECT_TRUE(renamed);
        EXPECT_EQ(DeletePinnedRoot(pinned), 0u);  // the very folder pinned
        return;
    }
    ASSERT_FALSE(renamed) << renamed.message();
    fs::create_directories(root_);  // another empty folder under the same name
    EXPECT_EQ(DeletePinnedRoot(pinned), kAccessDenied);
    EXPECT_TRUE(fs::exists(root_));
    EXPECT_TRUE(fs::exists(temp_ / "renamed"));
}

}  // namespace
}  // namespace zuvelo
