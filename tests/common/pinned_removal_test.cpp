#include "common/pinned_removal.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "common/paths.h"
#include "tests/support/absolute_paths.h"
#include "tests/support/file_trees.h"
#include "tests/support/test_folders.h"

namespace zuvelo {
namespace {

namespace fs = std::filesystem;

std::wstring W(const fs::path& path) { return WidePath(path); }

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

// ---------------------------------------------------------------------------------
// Text functions, with the Part's examples.

TEST(ExtendedLengthPathTest, PartExamples) {
    EXPECT_EQ(ToExtendedLengthPath(L"C:/a/b"), L"\\\\?\\C:\\a\\b");
    EXPECT_EQ(ToExtendedLengthPath(L"\\\\srv\\sh\\x"), L"\\\\?\\UNC\\srv\\sh\\x");
    EXPECT_EQ(ToExtendedLengthPath(L"\\\\?\\C:\\a"), L"\\\\?\\C:\\a");
    EXPECT_EQ(ToExtendedLengthPath(L"rel\\x"), L"rel\\x");
}

TEST(ExtendedLengthPathTest, OtherForms) {
    EXPECT_EQ(ToExtendedLengthPath(L"\\??\\C:\\a"), L"\\??\\C:\\a");
    EXPECT_EQ(ToExtendedLengthPath(L"\\\\.\\pipe\\x"), L"\\\\.\\pipe\\x");
    EXPECT_EQ(ToExtendedLengthPath(L"//srv/sh"), L"\\\\?\\UNC\\srv\\sh");
    EXPECT_EQ(ToExtendedLengthPath(L"C:\\"), L"\\\\?\\C:\\");
    EXPECT_EQ(ToExtendedLengthPath(L"C:"), L"C:");
    EXPECT_EQ(ToExtendedLengthPath(L"C:a"), L"C:a");
    EXPECT_EQ(ToExtendedLengthPath(L"rel/x"), L"rel\\x");
    EXPECT_EQ(ToExtendedLengthPath(L"/tmp/x"), L"\\tmp\\x");
    EXPECT_EQ(ToExtendedLengthPath(L""), L"");
}

TEST(ExtendedLengthPathTest, RefusesEmbeddedNul) {
    try {
        ToExtendedLengthPath(std::wstring(L"C:\\a\0b", 6));
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Path contains an embedded NUL");
    }
}

TEST(StripExtendedLengthPrefixTest, PartExamples) {
    EXPECT_EQ(StripExtendedLengthPrefix(L"\\\\?\\UNC\\srv\\sh\\"), L"\\\\srv\\sh");
    EXPECT_EQ(StripExtendedLengthPrefix(L"\\\\?\\C:\\"), L"C:");
    EXPECT_EQ(StripExtendedLengthPrefix(L"\\"), L"\\");
}

TEST(StripExtendedLengthPrefixTest, OtherForms) {
    EXPECT_EQ(StripExtendedLengthPrefix(L"\\??\\UNC\\srv\\sh\\x"), L"\\\\srv\\sh\\x");
    EXPECT_EQ(StripExtendedLengthPrefix(L"\\??\\C:\\a\\b"), L"C:\\a\\b");
    EXPECT_EQ(StripExtendedLengthPrefix(L"//?/C:/a//"), L"C:\\a");
    EXPECT_EQ(StripExtendedLengthPrefix(L"C:\\a"), L"C:\\a");
    EXPECT_EQ(StripExtendedLengthPrefix(L"/"), L"\\");
    EXPECT_EQ(StripExtendedLengthPrefix(L"\\\\"), L"\\");
    EXPECT_EQ(StripExtendedLengthPrefix(L""), L"");
    // Round trip of the Part's forms.
    EXPECT_EQ(StripExtendedLengthPrefix(ToExtendedLengthPath(L"\\\\srv\\sh\\x")), L"\\\\srv\\sh\\x");
    EXPECT_EQ(StripExtendedLengthPrefix(ToExtendedLengthPath(L"C:/a/b/")), L"C:\\a\\b");
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

TEST(PathCompareTest, IgnoresCaseOrdinally) {
    EXPECT_TRUE(PathsEqualIgnoreCase(L"/Tmp/ABC", L"/tmp/abc"));
    EXPECT_TRUE(PathsEqualIgnoreCase(L"/tmp/\u00C4\u00D6", L"/tmp/\u00E4\u00F6"));
    EXPECT_TRUE(PathsEqualIgnoreCase(L"/\u0416", L"/\u0436"));
    EXPECT_FALSE(PathsEqualIgnoreCase(L"/tmp/abc", L"/tmp/abd"));
    EXPECT_FALSE(PathsEqualIgnoreCase(L"/tmp/abc", L"/tmp/abc/"));
    EXPECT_FALSE(PathsEqualIgnoreCase(L"stra\u00DFe", L"STRASSE"));  // one character to one character
    EXPECT_TRUE(PathsEqualIgnoreCase(L"", L""));
}

TEST(ResolveFullPathTest, FoldsLexically) {
    std::wstring out;
    uint32_t err = 0;
    ASSERT_TRUE(ResolveFullPath(test::AbsolutePath(L"/a/./b/../c/"), out, err));
    EXPECT_EQ(out, test::AbsolutePath(L"/a/c"));
    ASSERT_TRUE(ResolveFullPath(test::AbsolutePath(L"\\a\\\\b\\"), out, err));
    EXPECT_EQ(out, test::AbsolutePath(L"/a/b"));
    ASSERT_TRUE(ResolveFullPath(test::AbsolutePath(L"/../.."), out, err));
    EXPECT_EQ(out, kNativeSeparator == L'\\' ? L"C:" : L"/");  // a drive root loses its separator too
    ASSERT_TRUE(ResolveFullPath(L"rel/x", out, err));
    EXPECT_EQ(out, W(fs::current_path() / "rel" / "x"));
}

TEST(ResolveFullPathTest, RefusesEmptyAndNul) {
    std::wstring out = L"untouched";
    uint32_t err = 0;
    EXPECT_FALSE(ResolveFullPath(L"", out, err));
    EXPECT_EQ(err, 123u);
    err = 0;
    EXPECT_FALSE(ResolveFullPath(std::wstring(L"/a\0b", 4), out, err));
    EXPECT_EQ(err, 123u);
    EXPECT_EQ(out, L"untouched");
}

TEST(FinalPathTest, ReadsTheHandlesPathAndLeavesOutUntouchedOnFailure) {
    test::TempFolder temp;
    fs::create_directories(temp / "dir");
    std::wstring out;
    EXPECT_TRUE(GetFinalPathFromHandle(OpenHandle(temp / "dir").get(), out));
    EXPECT_EQ(out, W(fs::canonical(temp / "dir")));

    out = L"untouched";
    uint32_t err = 0;
    EXPECT_FALSE(GetFinalPathFromHandle(-1, out, &err));
    EXPECT_EQ(out, L"untouched");
    EXPECT_EQ(err, 6u);
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
        uint32_t err = 0;
        EXPECT_TRUE(OpenVerifiedHandle(W(root_), pinned, err, kRemovalAccess)) << err;
        return pinned;
    }

    bool Delete(const PinnedRoot& pinned, const std::string& relative, uint32_t& err, bool& refused) {
        return DeleteUnderPinnedRoot(pinned, W(root_ / NativePathUtf8(relative)), relative, err, refused);
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
    uint32_t err = 0;
    ASSERT_TRUE(OpenVerifiedHandle(path, pinned, err, kRemovalAccess)) << err;
    EXPECT_EQ(pinned.finalPath, W(root_));
}

TEST_F(PinnedRemovalTest, RefusesALinkAFileAndAMissingPath) {
    if (!test::MakeLink(root_, temp_ / "link", test::LinkKind::Folder)) GTEST_SKIP() << kNoLinks;
    PinnedRoot pinned;
    uint32_t err = 0;
    EXPECT_FALSE(OpenVerifiedHandle(W(temp_ / "link"), pinned, err, kRemovalAccess));
    EXPECT_EQ(err, 5u);
    EXPECT_FALSE(OpenVerifiedHandle(W(root_ / "a.txt"), pinned, err, kRemovalAccess));
    EXPECT_EQ(err, 5u);
    EXPECT_FALSE(OpenVerifiedHandle(W(temp_ / "missing"), pinned, err, kRemovalAccess));
    EXPECT_EQ(err, 2u);
    EXPECT_FALSE(OpenVerifiedHandle(W(root_ / "a.txt" / "x"), pinned, err, kRemovalAccess));
    EXPECT_EQ(err, 3u);
    EXPECT_FALSE(pinned.IsPinned());
}

TEST_F(PinnedRemovalTest, RefusesAFolderReachedThroughALink) {
    if (!test::MakeLink(root_, temp_ / "link", test::LinkKind::Folder)) GTEST_SKIP() << kNoLinks;
    PinnedRoot pinned;
    uint32_t err = 0;
    EXPECT_FALSE(OpenVerifiedHandle(W(temp_ / "link" / "sub"), pinned, err, kRemovalAccess));
    EXPECT_EQ(err, 5u);
}

TEST_F(PinnedRemovalTest, HandleLiesUnderRootOnlyAtTheExactPlace) {
    PinnedRoot pinned = Pin();
    const platform::UniqueFd handle = OpenHandle(root_ / "sub" / "deep");
    const int deep = handle.get();
    uint32_t err = 0;
    EXPECT_TRUE(HandleLiesUnderRoot(pinned, deep, "sub/deep", err));
    EXPECT_TRUE(HandleLiesUnderRoot(pinned, deep, "sub\\deep", err));
    // Names compare as the file system compares them: case matters on Linux only.
    EXPECT_EQ(HandleLiesUnderRoot(pinned, deep, "SUB/Deep", err), !test::kCaseMatters);
    EXPECT_FALSE(HandleLiesUnderRoot(pinned, deep, "sub", err));
    EXPECT_EQ(err, 5u);
    EXPECT_FALSE(HandleLiesUnderRoot(pinned, deep, "deep", err));
    EXPECT_EQ(err, 5u);
}

// ---------------------------------------------------------------------------------
// Deleting below the pinned root.

TEST_F(PinnedRemovalTest, DeletesAFileAndAnEmptyFolder) {
    PinnedRoot pinned = Pin();
    uint32_t err = 0;
    bool refused = true;
    EXPECT_TRUE(Delete(pinned, "sub/deep/c.txt", err, refused));
    EXPECT_EQ(err, 0u);
    EXPECT_FALSE(refused);
    EXPECT_FALSE(fs::exists(root_ / "sub" / "deep" / "c.txt"));
    EXPECT_TRUE(Delete(pinned, "sub\\deep", err, refused));
    EXPECT_FALSE(fs::exists(root_ / "sub" / "deep"));
    EXPECT_TRUE(fs::exists(root_ / "sub" / "b.txt"));
}

TEST_F(PinnedRemovalTest, AFolderThatIsNotEmptyFailsWithoutRefusal) {
    PinnedRoot pinned = Pin();
    uint32_t err = 0;
    bool refused = true;
    EXPECT_FALSE(Delete(pinned, "sub", err, refused));
    EXPECT_EQ(err, 145u);
    EXPECT_FALSE(refused);
    EXPECT_TRUE(fs::exists(root_ / "sub" / "b.txt"));
}

TEST_F(PinnedRemovalTest, AVanishedItemFailsWithNotFound) {
    PinnedRoot pinned = Pin();
    uint32_t err = 0;
    bool refused = true;
    EXPECT_FALSE(Delete(pinned, "gone.txt", err, refused));
    EXPECT_EQ(err, 2u);
    EXPECT_FALSE(refused);
    EXPECT_FALSE(Delete(pinned, "gone/x.txt", err, refused));
    EXPECT_EQ(err, 2u);
    EXPECT_FALSE(refused);
}

TEST_F(PinnedRemovalTest, UnsafeRelativePathsAreRefused) {
    PinnedRoot pinned = Pin();
    for (const std::string relative : {"../outside/b.txt", "sub/../a.txt", "/etc/passwd", "", "sub/", "a.txt."}) {
        uint32_t err = 0;
        bool refused = false;
        EXPECT_FALSE(DeleteUnderPinnedRoot(pinned, W(root_ / "x"), relative, err, refused)) << relative;
        EXPECT_EQ(err, 123u) << relative;
        EXPECT_TRUE(refused) << relative;
    }
    EXPECT_TRUE(fs::exists(root_ / "a.txt"));
    ExpectOutsideUnchanged();
}

TEST_F(PinnedRemovalTest, AnUnpinnedRootIsRefused) {
    PinnedRoot unpinned;
    uint32_t err = 0;
    bool refused = false;
    EXPECT_FALSE(DeleteUnderPinnedRoot(unpinned, W(root_ / "a.txt"), "a.txt", err, refused));
    EXPECT_EQ(err, 5u);
    EXPECT_TRUE(refused);
    EXPECT_TRUE(fs::exists(root_ / "a.txt"));
}

TEST_F(PinnedRemovalTest, AFullPathElsewhereIsRefused) {
    PinnedRoot pinned = Pin();
    uint32_t err = 0;
    bool refused = false;
    EXPECT_FALSE(DeleteUnderPinnedRoot(pinned, W(outside_ / "b.txt"), "sub/b.txt", err, refused));
    EXPECT_EQ(err, 5u);
    EXPECT_TRUE(refused);
    EXPECT_TRUE(fs::exists(root_ / "sub" / "b.txt"));
    ExpectOutsideUnchanged();
}

TEST_F(PinnedRemovalTest, ASubfolderReplacedByALinkAfterTheScanIsRefused) {
    PinnedRoot pinned = Pin();
    // After the scan: sub goes away and a link to the outside folder takes its place.
    fs::rename(root_ / "sub", temp_ / "moved-sub");
    if (!test::MakeLink(outside_, root_ / "sub", test::LinkKind::Folder)) GTEST_SKIP() << kNoLinks;
    const test::TreeSnapshot movedBefore = test::SnapshotTree(temp_ / "moved-sub");

    uint32_t err = 0;
    bool refused = false;
    EXPECT_FALSE(Delete(pinned, "sub/b.txt", err, refused));
    EXPECT_EQ(err, 5u);
    EXPECT_TRUE(refused);
    EXPECT_FALSE(Delete(pinned, "sub/keep/c.txt", err, refused));
    EXPECT_EQ(err, 5u);
    EXPECT_TRUE(refused);
    ExpectOutsideUnchanged();
    EXPECT_EQ(test::SnapshotTree(temp_ / "moved-sub"), movedBefore);

    // The folder's own entry is now the link: only the link goes.
    EXPECT_TRUE(Delete(pinned, "sub", err, refused)) << err;
    EXPECT_FALSE(fs::exists(fs::symlink_status(root_ / "sub")));
    ExpectOutsideUnchanged();
}

TEST_F(PinnedRemovalTest, AFolderMovedOutAfterItsFirstFileIsNotFollowed) {
    test::WriteFile(root_ / "sub" / "more.txt", "more");
    PinnedRoot pinned = Pin();
    uint32_t err = 0;
    bool refused = false;
    ASSERT_TRUE(Delete(pinned, "sub/b.txt", err, refused)) << err;  // "sub" is open now
    std::error_code moved;
    fs::rename(root_ / "sub", outside_ / "moved-sub", moved);        // and moves out
    if (kHeldFoldersStayPut) {
        EXPECT_TRUE(moved);
        EXPECT_TRUE(Delete(pinned, "sub/more.txt", err, refused)) << err;
        EXPECT_FALSE(fs::exists(root_ / "sub" / "more.txt"));
        ExpectOutsideUnchanged();
        return;
    }
    ASSERT_FALSE(moved) << moved.message();
    test::WriteFile(root_ / "sub" / "more.txt", "a new one");        // a new "sub" takes its place
    const test::TreeSnapshot outsideNow = test::SnapshotTree(outside_);

    EXPECT_TRUE(Delete(pinned, "sub/more.txt", err, refused)) << err;  // the file now at that place
    EXPECT_FALSE(fs::exists(root_ / "sub" / "more.txt"));
    EXPECT_EQ(test::SnapshotTree(outside_), outsideNow);
    EXPECT_EQ(test::ReadFile(outside_ / "moved-sub" / "more.txt"), "more");
}

TEST_F(PinnedRemovalTest, ALinkInsideTheTreeIsDeletedAsItself) {
    if (!test::MakeLink(outside_ / "b.txt", root_ / "file-link", test::LinkKind::File)) GTEST_SKIP() << kNoLinks;
    if (!test::MakeLink(outside_, root_ / "dir-link", test::LinkKind::Folder)) GTEST_SKIP() << kNoLinks;
    PinnedRoot pinned = Pin();
    uint32_t err = 0;
    bool refused = false;
    EXPECT_TRUE(Delete(pinned, "file-link", err, refused)) << err;
    EXPECT_TRUE(Delete(pinned, "dir-link", err, refused)) << err;
    EXPECT_FALSE(fs::exists(fs::symlink_status(root_ / "file-link")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(root_ / "dir-link")));
    // Going through the link is refused.
    if (!test::MakeLink(outside_, root_ / "dir-link", test::LinkKind::Folder)) GTEST_SKIP() << kNoLinks;
    EXPECT_FALSE(Delete(pinned, "dir-link/b.txt", err, refused));
    EXPECT_TRUE(refused);
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

    uint32_t err = 0;
    bool refused = false;
    EXPECT_FALSE(Delete(pinned, "a.txt", err, refused));
    EXPECT_EQ(err, 5u);
    EXPECT_TRUE(refused);
    EXPECT_FALSE(Delete(pinned, "b.txt", err, refused));
    EXPECT_EQ(err, 5u);
    EXPECT_TRUE(refused);
    EXPECT_FALSE(DeletePinnedRoot(pinned, err));
    EXPECT_EQ(err, 5u);
    ExpectOutsideUnchanged();
    EXPECT_EQ(test::SnapshotTree(temp_ / "renamed"), renamedBefore);
}

TEST_F(PinnedRemovalTest, AReadOnlyFileAndFolderAreDeleted) {
    fs::create_directories(root_ / "ro-dir");
    fs::permissions(root_ / "a.txt", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    fs::permissions(root_ / "ro-dir", fs::perms::owner_read | fs::perms::owner_exec);
    PinnedRoot pinned = Pin();
    uint32_t err = 0;
    bool refused = false;
    EXPECT_TRUE(Delete(pinned, "a.txt", err, refused)) << err;
    EXPECT_TRUE(Delete(pinned, "ro-dir", err, refused)) << err;
    EXPECT_FALSE(fs::exists(root_ / "a.txt"));
    EXPECT_FALSE(fs::exists(root_ / "ro-dir"));
}

TEST_F(PinnedRemovalTest, DeletePinnedRoot) {
    PinnedRoot unpinned;
    uint32_t err = 0;
    EXPECT_FALSE(DeletePinnedRoot(unpinned, err));
    EXPECT_EQ(err, 6u);

    PinnedRoot pinned = Pin();
    EXPECT_FALSE(DeletePinnedRoot(pinned, err));  // not empty
    EXPECT_EQ(err, 145u);
    EXPECT_TRUE(fs::exists(root_ / "a.txt"));
    pinned.handle.reset();  // Windows keeps a folder while a handle on it is open

    fs::remove_all(root_);
    fs::create_directories(root_);
    fs::permissions(root_, fs::perms::owner_read | fs::perms::owner_exec);  // read-only folder
    PinnedRoot empty = Pin();
    EXPECT_TRUE(DeletePinnedRoot(empty, err)) << err;
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
        uint32_t err = 0;
        EXPECT_TRUE(DeletePinnedRoot(pinned, err)) << err;  // the very folder pinned
        return;
    }
    ASSERT_FALSE(renamed) << renamed.message();
    fs::create_directories(root_);  // another empty folder under the same name
    uint32_t err = 0;
    EXPECT_FALSE(DeletePinnedRoot(pinned, err));
    EXPECT_EQ(err, 5u);
    EXPECT_TRUE(fs::exists(root_));
    EXPECT_TRUE(fs::exists(temp_ / "renamed"));
}

}  // namespace
}  // namespace zuvelo
