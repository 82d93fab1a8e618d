#include "platform/handles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "platform/file_io.h"
#include "platform/sha256.h"
#include "tests/support/test_folders.h"

namespace zuvelo::platform {
namespace {

namespace fs = std::filesystem;

TEST(Sha256Test, KnownVectorsStreamedAndInOnePiece) {
    EXPECT_EQ(Sha256Hex("abc", 3), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha256Hex("", 0), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    Sha256 streamed;
    ASSERT_TRUE(streamed.Ok());
    const std::string text = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    for (char c : text) ASSERT_TRUE(streamed.Update(&c, 1));
    std::string hex;
    ASSERT_TRUE(streamed.Finish(hex));
    EXPECT_EQ(hex, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(streamed.FailedStep(), Sha256::Step::None);
}

TEST(Sha256Test, LowerHex) {
    const unsigned char bytes[] = {0x00, 0x0f, 0xa0, 0xff};
    EXPECT_EQ(ToLowerHex(bytes, sizeof bytes), "000fa0ff");
}

TEST(HandlesTest, OpensALinkAsItself) {
    test::TempFolder temp;
    fs::create_directories(temp / "dir");
    fs::create_directory_symlink(temp / "dir", temp / "link");
    UniqueFd link;
    ASSERT_EQ(OpenPathHandle(temp / "link", link), 0u);
    HandleInfo info;
    ASSERT_EQ(QueryHandleInfo(link.get(), info), 0u);
    EXPECT_TRUE(info.IsSymlink());
    EXPECT_FALSE(info.IsDirectory());
    EXPECT_FALSE(info.IsReadOnly());

    UniqueFd dir;
    ASSERT_EQ(OpenPathHandle(temp / "dir", dir), 0u);
    HandleInfo entry;
    ASSERT_EQ(QueryEntryInfo(dir.get(), "..", entry), 123u);  // one plain name only
    UniqueFd parent;
    ASSERT_EQ(OpenPathHandle(temp.path(), parent), 0u);
    ASSERT_EQ(QueryEntryInfo(parent.get(), "link", entry), 0u);
    EXPECT_TRUE(entry.IsSymlink());
    UniqueFd none;
    EXPECT_EQ(OpenPathHandleAt(parent.get(), "dir/x", none), 123u);
    EXPECT_EQ(OpenPathHandleAt(parent.get(), "missing", none), 2u);
}

TEST(HandlesTest, FinalPathFollowsTheObject) {
    test::TempFolder temp;
    fs::create_directories(temp / "a");
    UniqueFd handle;
    ASSERT_EQ(OpenPathHandle(temp / "a", handle), 0u);
    std::string path;
    ASSERT_EQ(ReadFinalPath(handle.get(), path), 0u);
    EXPECT_EQ(path, fs::canonical(temp / "a").native());
    fs::rename(temp / "a", temp / "b");
    ASSERT_EQ(ReadFinalPath(handle.get(), path), 0u);
    EXPECT_EQ(path, fs::canonical(temp / "b").native());
    EXPECT_EQ(ReadFinalPath(-1, path), 6u);
}

TEST(HandlesTest, FinalPathInAForkedChildReadsTheChildsDescriptors) {
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
}

TEST(HandlesTest, MountPoints) {
    UniqueFd proc;
    ASSERT_EQ(OpenPathHandle("/proc", proc), 0u);
    bool mountPoint = false;
    ASSERT_EQ(IsMountPoint(proc.get(), mountPoint), 0u);
    EXPECT_TRUE(mountPoint);
    test::TempFolder temp;
    UniqueFd folder;
    ASSERT_EQ(OpenPathHandle(temp.path(), folder), 0u);
    ASSERT_EQ(IsMountPoint(folder.get(), mountPoint), 0u);
    EXPECT_FALSE(mountPoint);
    UniqueFd root;
    ASSERT_EQ(OpenPathHandle("/", root), 0u);
    ASSERT_EQ(IsMountPoint(root.get(), mountPoint), 0u);
    HandleInfo rootInfo;
    HandleInfo procInfo;
    ASSERT_EQ(QueryHandleInfo(root.get(), rootInfo), 0u);
    ASSERT_EQ(QueryHandleInfo(proc.get(), procInfo), 0u);
    EXPECT_TRUE(procInfo.OnOtherMountThan(rootInfo));
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
    EXPECT_EQ(info.mode & 0777, 0640u);
    ASSERT_EQ(SetWritableThroughHandle(file.get(), false), 0u);
    ASSERT_EQ(QueryHandleInfo(file.get(), info), 0u);
    EXPECT_EQ(info.mode & 0777, 0440u);

    UniqueFd folder;
    ASSERT_EQ(OpenPathHandle(temp.path(), folder), 0u);
    EXPECT_EQ(RemoveEntryAt(folder.get(), "f", false), 0u);
    EXPECT_EQ(RemoveEntryAt(folder.get(), "f", false), 2u);
    fs::create_directories(temp / "d" / "e");
    EXPECT_EQ(RemoveEntryAt(folder.get(), "d", true), 145u);
}

TEST(HandlesTest, DirectoryReaderListsEveryName) {
    test::TempFolder temp;
    test::WriteFile(temp / "a.txt", "");
    fs::create_directories(temp / "sub");
    fs::create_symlink("a.txt", temp / "link");
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
    EXPECT_EQ(names, (std::set<std::string>{"a.txt", "sub", "link"}));
    UniqueFd refused;
    EXPECT_NE(OpenDirectoryForListing(folder.get(), "link", refused), 0u);  // never through a link
}

TEST(FileIoTest, WritingNeverTruncatesAndExclusiveRefusesLinks) {
    test::TempFolder temp;
    test::WriteFile(temp / "f", "keep");
    UniqueFd out;
    ASSERT_EQ(OpenForWriting(temp / "f", false, 0644, out), 0u);
    out.reset();
    EXPECT_EQ(test::ReadFile(temp / "f"), "keep");
    EXPECT_EQ(OpenForWriting(temp / "f", true, 0644, out), 183u);
    fs::create_symlink(temp / "nowhere", temp / "dangling");
    EXPECT_EQ(OpenForWriting(temp / "dangling", true, 0644, out), 183u);
    EXPECT_FALSE(fs::exists(temp / "nowhere"));
}

TEST(FileIoTest, AFifoNeverBlocks) {
    test::TempFolder temp;
    ASSERT_EQ(::mkfifo((temp / "fifo").c_str(), 0644), 0);
    UniqueFd in;
    ASSERT_EQ(OpenForReading(temp / "fifo", in), 0u);
    FileStat st;
    ASSERT_EQ(StatFd(in.get(), st), 0u);
    EXPECT_FALSE(st.IsRegular());
}

}  // namespace
}  // namespace zuvelo::platform
