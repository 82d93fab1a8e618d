#include "platform/handles.h"

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "common/text.h"
#include "platform/win32_error.h"
#include "tests/support/test_folders.h"
#include "tests/support/wine.h"

namespace zuvelo::platform {
namespace {

namespace fs = std::filesystem;

TEST(HandlesTest, OpensALinkAsItself) {
    test::TempFolder temp;
    fs::create_directories(temp / "dir");
    test::WriteFile(temp / "dir" / "kept", "x");
    UniqueFd parent;
    ASSERT_EQ(OpenPathHandle(temp.path(), parent), 0u);
    struct Name {
        const char* name;
        uint32_t expected;
    };
    const Name names[] = {
        {"..", win32::kInvalidName},  // one plain name only
        {"dir/x", win32::kInvalidName},
        {"missing", win32::kFileNotFound},
#ifdef _WIN32
        {"dir\\x", win32::kInvalidName},
        {"dir:stream", win32::kInvalidName},  // never an alternate data stream
#endif
    };
    for (const Name& row : names) {
        UniqueFd none;
        HandleInfo entry;
        EXPECT_EQ(OpenPathHandleAt(parent.get(), row.name, none), row.expected) << row.name;
        EXPECT_EQ(QueryEntryInfo(parent.get(), row.name, entry), row.expected) << row.name;
    }

    bool anyLink = false;
    for (const test::LinkKind kind : {test::LinkKind::Folder, test::LinkKind::Junction}) {
        if (!test::MakeLink(temp / "dir", temp / "link", kind)) continue;
        anyLink = true;
        UniqueFd link;
        ASSERT_EQ(OpenPathHandle(temp / "link", link), 0u);
        HandleInfo info;
        ASSERT_EQ(QueryHandleInfo(link.get(), info), 0u);
        EXPECT_TRUE(info.IsSymlink());
        EXPECT_FALSE(info.IsDirectory());
        EXPECT_FALSE(info.IsReadOnly());
        if (kind == test::LinkKind::Junction) {  // a mount-point reparse point
            bool mountPoint = false;
            ASSERT_EQ(IsMountPoint(link.get(), mountPoint), 0u);
            EXPECT_TRUE(mountPoint);
        }
        HandleInfo entry;
        ASSERT_EQ(QueryEntryInfo(parent.get(), "link", entry), 0u);
        EXPECT_TRUE(entry.IsSymlink());
        link.reset();
        EXPECT_EQ(RemoveEntryAt(parent.get(), "link", false), 0u);  // the link goes as itself
        EXPECT_FALSE(fs::exists(fs::symlink_status(temp / "link")));
        EXPECT_EQ(test::ReadFile(temp / "dir" / "kept"), "x");
    }
    if (!anyLink) GTEST_SKIP() << "no links can be made here (Wine makes no symbolic links or junctions)";
}

TEST(HandlesTest, FinalPathFollowsTheObject) {
    test::TempFolder temp;
    fs::create_directories(temp / "a");
    UniqueFd handle;
    ASSERT_EQ(OpenPathHandle(temp / "a", handle), 0u);
    std::string path;
    ASSERT_EQ(ReadFinalPath(handle.get(), path), 0u);
    EXPECT_EQ(path, Utf8FromPath(fs::canonical(temp / "a")));
    EXPECT_EQ(ReadFinalPath(-1, path), win32::kInvalidHandle);
    if (test::RunningUnderWine()) GTEST_SKIP() << "Wine keeps the name a handle was opened by after a rename";
    fs::rename(temp / "a", temp / "b");
    ASSERT_EQ(ReadFinalPath(handle.get(), path), 0u);
    EXPECT_EQ(path, Utf8FromPath(fs::canonical(temp / "b")));
}

TEST(HandlesTest, FinalPathInAForkedChildReadsTheChildsDescriptors) {
#ifdef _WIN32
    GTEST_SKIP() << "fork and /proc/self/fd are Linux-only";
#else
    test::TempFolder temp;
    fs::create_directories(temp / "parent");
    fs::create_directories(temp / "child");
    UniqueFd before;
    ASSERT_EQ(OpenPathHandle(temp / "parent", before), 0u);
    std::string path;
    ASSERT_EQ(ReadFinalPath(before.get(), path), 0u);  // the parent's /proc/self/fd is open now
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        before.reset();
        UniqueFd mine;
        std::string seen;
        if (OpenPathHandle(temp / "child", mine) != 0 || ReadFinalPath(mine.get(), seen) != 0) ::_exit(2);
        ::_exit(seen == fs::canonical(temp / "child").native() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
#endif
}

TEST(HandlesTest, MountPoints) {
    test::TempFolder temp;
    UniqueFd folder;
    ASSERT_EQ(OpenPathHandle(temp.path(), folder), 0u);
    bool mountPoint = true;
    ASSERT_EQ(IsMountPoint(folder.get(), mountPoint), 0u);
    EXPECT_FALSE(mountPoint);
    UniqueFd root;
    ASSERT_EQ(OpenPathHandle(temp.path().root_path(), root), 0u);
    ASSERT_EQ(IsMountPoint(root.get(), mountPoint), 0u);
#ifdef _WIN32
    EXPECT_TRUE(mountPoint);  // the root of a volume
#else
    UniqueFd proc;
    ASSERT_EQ(OpenPathHandle("/proc", proc), 0u);
    ASSERT_EQ(IsMountPoint(proc.get(), mountPoint), 0u);
    EXPECT_TRUE(mountPoint);
    HandleInfo rootInfo;
    HandleInfo procInfo;
    ASSERT_EQ(QueryHandleInfo(root.get(), rootInfo), 0u);
    ASSERT_EQ(QueryHandleInfo(proc.get(), procInfo), 0u);
    EXPECT_TRUE(procInfo.OnOtherMountThan(rootInfo));
#endif
}

TEST(HandlesTest, WritableThroughHandleAndRemoveAt) {
    test::TempFolder temp;
    test::WriteFile(temp / "f", "x");
    fs::permissions(temp / "f", fs::perms::owner_read | fs::perms::group_read);
    UniqueFd file;
    ASSERT_EQ(OpenPathHandle(temp / "f", file), 0u);
    HandleInfo info;
    ASSERT_EQ(QueryHandleInfo(file.get(), info), 0u);
    EXPECT_TRUE(info.IsReadOnly());
    ASSERT_EQ(SetWritableThroughHandle(file.get(), true), 0u);
    ASSERT_EQ(QueryHandleInfo(file.get(), info), 0u);
    EXPECT_FALSE(info.IsReadOnly());
#ifdef _WIN32
    // Permission bits stand for the read-only attribute there.
    constexpr uint32_t kWritable = 0666;
    constexpr uint32_t kReadOnly = 0444;
#else
    constexpr uint32_t kWritable = 0640;
    constexpr uint32_t kReadOnly = 0440;
#endif
    EXPECT_EQ(info.mode & 0777, kWritable);
    ASSERT_EQ(SetWritableThroughHandle(file.get(), false), 0u);
    ASSERT_EQ(QueryHandleInfo(file.get(), info), 0u);
    EXPECT_EQ(info.mode & 0777, kReadOnly);
    ASSERT_EQ(SetWritableThroughHandle(file.get(), true), 0u);
    file.reset();

    UniqueFd folder;
    ASSERT_EQ(OpenPathHandle(temp.path(), folder), 0u);
    fs::create_directories(temp / "d" / "e");
    test::WriteFile(temp / "g", "");
    struct Removal {
        const char* name;
        bool directory;
        uint32_t expected;
    };
    const Removal removals[] = {
        {"f", false, 0},
        {"f", false, win32::kFileNotFound},
        {"d", true, win32::kDirNotEmpty},
        {"d", false, win32::kAccessDenied},  // a folder only as a folder
        {"g", true, win32::kPathNotFound},   // a file never as a folder
        {"d/e", true, win32::kInvalidName},
    };
    for (const Removal& row : removals) {
        EXPECT_EQ(RemoveEntryAt(folder.get(), row.name, row.directory), row.expected) << row.name;
    }
    EXPECT_TRUE(fs::exists(temp / "d" / "e"));
}

TEST(HandlesTest, DirectoryReaderListsEveryName) {
    test::TempFolder temp;
    test::WriteFile(temp / "a.txt", "");
    fs::create_directories(temp / "sub");
    const bool withLink = test::MakeLink("a.txt", temp / "link", test::LinkKind::File);
    UniqueFd folder;
    ASSERT_EQ(OpenPathHandle(temp.path(), folder), 0u);
    UniqueFd listing;
    ASSERT_EQ(OpenDirectoryForListing(folder.get(), ".", listing), 0u);
    DirectoryReader reader(std::move(listing));
    std::set<std::string> names;
    DirectoryReader::Entry entry;
    bool done = false;
    while (reader.Next(entry, done) == 0 && !done) {
        names.insert(entry.name);
        if (entry.name == "sub") {
            EXPECT_NE(entry.type, DirectoryReader::Type::Regular);
        }
    }
    EXPECT_TRUE(done);
    std::set<std::string> expected{"a.txt", "sub"};
    if (withLink) expected.insert("link");
    EXPECT_EQ(names, expected);
    UniqueFd refused;
    EXPECT_EQ(OpenDirectoryForListing(folder.get(), "a.txt", refused), win32::kPathNotFound);
    if (withLink) {
        EXPECT_EQ(OpenDirectoryForListing(folder.get(), "link", refused), win32::kPathNotFound);  // never a link
    }
}

}  // namespace
}  // namespace zuvelo::platform
