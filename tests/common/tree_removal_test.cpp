#include "common/tree_removal.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "common/file_operations.h"
#include "common/jsonl_logger.h"
#include "common/paths.h"
#include "common/text.h"
#include "platform/handles.h"
#include "tests/support/file_trees.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_folders.h"

namespace zuvelo {
namespace {

namespace fs = std::filesystem;
using test::FileEvents;

std::wstring W(const fs::path& path) { return WidePath(path); }
// A path as events and messages show it.
std::string U8(const fs::path& path) { return Utf8FromPath(fs::path(path).make_preferred()); }

constexpr const char* kNoLinks = "no links can be made here (Wine makes no symbolic links or junctions)";

// The object at path is a link (looked at as itself).
bool IsLink(const fs::path& path) {
    platform::HandleInfo info;
    return platform::QueryPathInfo(path, false, info) == 0 && info.IsSymlink();
}

// Collects the logger's lines like LogCapture and calls a hook on each event, so
// a test can act in the middle of an operation (between the walk and a deletion).
class EventHook {
public:
    using Hook = std::function<void(const Json::Value&)>;
    explicit EventHook(Hook hook) : hook_(std::move(hook)) {
        JsonlLogger& logger = JsonlLogger::Instance();
        logger.ResetForTesting();
        logger.SetStdoutSinkForTesting([this](std::string_view text) {
            lines_.emplace_back(text);
            if (hook_) hook_(test::ParseJson(std::string(text)));
        });
    }
    ~EventHook() {
        JsonlLogger& logger = JsonlLogger::Instance();
        logger.SetStdoutSinkForTesting(nullptr);
        logger.ResetForTesting();
    }
    EventHook(const EventHook&) = delete;
    EventHook& operator=(const EventHook&) = delete;

    std::vector<Json::Value> Events() const {
        std::vector<Json::Value> events;
        for (const std::string& line : lines_) events.push_back(test::ParseJson(line));
        return events;
    }

private:
    Hook hook_;
    std::vector<std::string> lines_;
};

class RemoveTreeTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = temp_ / "root";
        outside_ = temp_ / "outside";
        test::WriteFile(root_ / "a.txt", "a");
        test::WriteFile(root_ / "one" / "b.txt", "b");
        test::WriteFile(root_ / "one" / "c.txt", "c");
        test::WriteFile(root_ / "two" / "d.txt", "d");
        test::WriteFile(root_ / "two" / "deep" / "e.txt", "e");
        fs::create_directories(root_ / "empty");
        test::WriteFile(outside_ / "b.txt", "outside b");
        test::WriteFile(outside_ / "d.txt", "outside d");
        test::WriteFile(outside_ / "deep" / "e.txt", "outside e");
        outsideBefore_ = test::SnapshotTree(outside_);
    }

    void ExpectOutsideUnchanged() { EXPECT_EQ(test::SnapshotTree(outside_), outsideBefore_); }

    test::TempFolder temp_;
    fs::path root_;
    fs::path outside_;
    test::TreeSnapshot outsideBefore_;
};

TEST_F(RemoveTreeTest, RemovesEverythingAndCounts) {
    test::LogCapture log;
    int32_t files = 7;  // only ever incremented
    int32_t folders = 0;
    ASSERT_EQ(FileOperations().RemoveDirectoryTree(W(root_), true, &files, &folders), ErrorCode::Success);
    EXPECT_FALSE(fs::exists(root_));
    EXPECT_EQ(files, 7 + 5);
    EXPECT_EQ(folders, 5);  // one, two, two/deep, empty and the root
    const auto deletes = FileEvents(log, "delete");
    EXPECT_EQ(deletes.size(), 10u);
    for (const Json::Value& event : deletes) EXPECT_TRUE(event["success"].asBool());
    EXPECT_EQ(deletes.back()["file_path"].asString(), U8(root_));
    ExpectOutsideUnchanged();
}

TEST_F(RemoveTreeTest, NullCountersAreSkipped) {
    test::LogCapture log;
    EXPECT_EQ(FileOperations().RemoveDirectoryTree(W(root_), true), ErrorCode::Success);
    EXPECT_FALSE(fs::exists(root_));
}

TEST_F(RemoveTreeTest, AMissingFolderIsSuccessWithoutEvents) {
    test::LogCapture log;
    int32_t files = 0;
    int32_t folders = 0;
    EXPECT_EQ(FileOperations().RemoveDirectoryTree(W(temp_ / "missing"), true, &files, &folders), ErrorCode::Success);
    EXPECT_EQ(FileOperations().RemoveDirectoryTree(W(temp_ / "missing" / "x"), false), ErrorCode::Success);
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_EQ(files + folders, 0);
}

TEST_F(RemoveTreeTest, NotRecursive) {
    test::LogCapture log;
    int32_t folders = 0;
    EXPECT_EQ(FileOperations().RemoveDirectoryTree(W(root_), false, nullptr, &folders),
              ErrorCode::DirectoryAccessDenied);
    EXPECT_TRUE(fs::exists(root_ / "a.txt"));
    EXPECT_EQ(folders, 0);
    auto deletes = FileEvents(log, "delete");
    ASSERT_EQ(deletes.size(), 1u);
    EXPECT_FALSE(deletes[0]["success"].asBool());
    EXPECT_EQ(deletes[0]["system_error_code"].asUInt(), 145u);

    EXPECT_EQ(FileOperations().RemoveDirectoryTree(W(root_ / "empty"), false, nullptr, &folders), ErrorCode::Success);
    EXPECT_FALSE(fs::exists(root_ / "empty"));
    EXPECT_EQ(folders, 1);
}

TEST_F(RemoveTreeTest, ARootThatIsALinkOrAFileIsRefused) {
    if (!test::MakeLink(outside_, temp_ / "link", test::LinkKind::Folder)) GTEST_SKIP() << kNoLinks;
    test::LogCapture log;
    int32_t files = 0;
    int32_t folders = 0;
    FileOperations ops;
    EXPECT_EQ(ops.RemoveDirectoryTree(W(temp_ / "link"), true, &files, &folders), ErrorCode::DirectoryAccessDenied);
    EXPECT_EQ(ops.RemoveDirectoryTree(W(outside_ / "b.txt"), true, &files, &folders), ErrorCode::DirectoryAccessDenied);
    const auto deletes = FileEvents(log, "delete");
    ASSERT_EQ(deletes.size(), 2u);
    EXPECT_EQ(deletes[0]["system_error_code"].asUInt(), 5u);
    EXPECT_EQ(deletes[1]["system_error_code"].asUInt(), 5u);
    EXPECT_TRUE(IsLink(temp_ / "link"));
    EXPECT_EQ(files + folders, 0);
    ExpectOutsideUnchanged();
}

TEST_F(RemoveTreeTest, LinksInsideTheTreeGoAsLinks) {
    if (!test::MakeLink(outside_, root_ / "dir-link", test::LinkKind::Folder)) GTEST_SKIP() << kNoLinks;
    ASSERT_TRUE(test::MakeLink(outside_ / "b.txt", root_ / "one" / "file-link", test::LinkKind::File));
    ASSERT_TRUE(test::MakeLink(temp_ / "nowhere", root_ / "dangling", test::LinkKind::File));
    test::LogCapture log;
    int32_t files = 0;
    int32_t folders = 0;
    ASSERT_EQ(FileOperations().RemoveDirectoryTree(W(root_), true, &files, &folders), ErrorCode::Success);
    EXPECT_FALSE(fs::exists(root_));
    EXPECT_EQ(files, 5 + 3);
    EXPECT_EQ(folders, 5);
    ExpectOutsideUnchanged();
}

TEST_F(RemoveTreeTest, ReadOnlyFilesAndFoldersAreRemoved) {
    fs::permissions(root_ / "a.txt", fs::perms::owner_read);
    fs::permissions(root_ / "two" / "deep" / "e.txt", fs::perms::none);
    fs::permissions(root_ / "empty", fs::perms::owner_read | fs::perms::owner_exec);
    test::LogCapture log;
    int32_t files = 0;
    ASSERT_EQ(FileOperations().RemoveDirectoryTree(W(root_), true, &files), ErrorCode::Success);
    EXPECT_FALSE(fs::exists(root_));
    EXPECT_EQ(files, 5);
}

// The form for the programs' own folders: the same removal, not a line in the log.
TEST_F(RemoveTreeTest, WithoutEventsWritesNothing) {
    fs::permissions(root_ / "a.txt", fs::perms::owner_read);
    test::MakeLink(outside_, root_ / "dir-link", test::LinkKind::Folder);  // none under Wine
    test::LogCapture log;
    EXPECT_EQ(RemoveTreeWithoutEvents(W(root_)), 0u);
    EXPECT_FALSE(fs::exists(root_));
    EXPECT_EQ(RemoveTreeWithoutEvents(W(temp_ / "missing")), 0u);
    {
        test::UndeletableFile held((fs::create_directories(root_), root_));
        EXPECT_NE(RemoveTreeWithoutEvents(W(root_)), 0u);
        EXPECT_TRUE(fs::exists(root_));
    }
    EXPECT_TRUE(log.Lines().empty());
    ExpectOutsideUnchanged();
}

TEST_F(RemoveTreeTest, BackslashesAndATrailingSeparatorInThePath) {
    std::wstring path = W(root_) + L"/";
    std::replace(path.begin(), path.end(), L'/', L'\\');
    test::LogCapture log;
    ASSERT_EQ(FileOperations().RemoveDirectoryTree(path, true), ErrorCode::Success);
    EXPECT_FALSE(fs::exists(root_));
}

TEST_F(RemoveTreeTest, ASubfolderReplacedByALinkAfterTheScanStopsTheRemoval) {
    // At the first deletion (the walk is done by then) "two" becomes a link to the
    // outside folder, which holds files of the same names.
    if (!test::MakeLink(outside_, temp_ / "two-link", test::LinkKind::Folder)) GTEST_SKIP() << kNoLinks;
    bool swapped = false;
    EventHook hook([&](const Json::Value& event) {
        if (swapped || event.get("operation", "").asString() != "file:delete") return;
        swapped = true;
        fs::rename(root_ / "two", temp_ / "moved-two");
        fs::rename(temp_ / "two-link", root_ / "two");
    });
    int32_t files = 0;
    int32_t folders = 0;
    EXPECT_EQ(FileOperations().RemoveDirectoryTree(W(root_), true, &files, &folders), ErrorCode::DirectoryAccessDenied);
    ASSERT_TRUE(swapped);
    ExpectOutsideUnchanged();
    EXPECT_TRUE(fs::exists(temp_ / "moved-two" / "d.txt"));
    EXPECT_TRUE(fs::exists(temp_ / "moved-two" / "deep" / "e.txt"));
    EXPECT_TRUE(IsLink(root_ / "two"));
    EXPECT_EQ(folders, 0);
    EXPECT_LT(files, 5);

    const auto deletes = FileEvents(hook.Events(), "delete");
    ASSERT_FALSE(deletes.empty());
    EXPECT_FALSE(deletes.back()["success"].asBool());
    EXPECT_EQ(deletes.back()["system_error_code"].asUInt(), 5u);
    int successes = 0;
    for (const Json::Value& event : deletes) successes += event["success"].asBool() ? 1 : 0;
    EXPECT_EQ(successes, files);  // the counters hold what was deleted up to the stop
}

TEST_F(RemoveTreeTest, TheRootRenamedAfterPinningStopsTheRemoval) {
    if (!test::MakeLink(outside_, temp_ / "root-link", test::LinkKind::Folder)) GTEST_SKIP() << kNoLinks;
    bool swapped = false;
    EventHook hook([&](const Json::Value& event) {
        if (swapped || event.get("operation", "").asString() != "file:delete") return;
        swapped = true;
        fs::rename(root_, temp_ / "renamed");
        fs::rename(temp_ / "root-link", root_);
    });
    EXPECT_EQ(FileOperations().RemoveDirectoryTree(W(root_), true), ErrorCode::DirectoryAccessDenied);
    ASSERT_TRUE(swapped);
    ExpectOutsideUnchanged();
    EXPECT_EQ(test::SnapshotTree(temp_ / "renamed").size(), 9u - 1);  // only the first file went
}

// Windows holds the root without delete sharing for the whole removal: it cannot be
// renamed meanwhile. On Linux it can, and the removal stops at the next item.
TEST_F(RemoveTreeTest, TheRootRenamedDuringTheRemovalIsHeldOrStopsIt) {
    bool tried = false;
    std::error_code renamed;
    EventHook hook([&](const Json::Value& event) {
        if (tried || event.get("operation", "").asString() != "file:delete") return;
        tried = true;
        fs::rename(root_, temp_ / "renamed", renamed);
    });
    const ErrorCode result = FileOperations().RemoveDirectoryTree(W(root_), true);
    ASSERT_TRUE(tried);
#ifdef _WIN32
    EXPECT_TRUE(renamed);
    EXPECT_EQ(result, ErrorCode::Success);
    EXPECT_FALSE(fs::exists(root_));
    EXPECT_FALSE(fs::exists(temp_ / "renamed"));
#else
    ASSERT_FALSE(renamed) << renamed.message();
    EXPECT_EQ(result, ErrorCode::DirectoryAccessDenied);
    EXPECT_EQ(test::SnapshotTree(temp_ / "renamed").size(), 9u - 1);  // only the first file went
#endif
    ExpectOutsideUnchanged();
}

TEST_F(RemoveTreeTest, EntriesThatVanishAreSkipped) {
    // At the first deletion every other file and the empty folder go away behind its back.
    bool removed = false;
    std::string first;
    EventHook hook([&](const Json::Value& event) {
        if (removed || event.get("operation", "").asString() != "file:delete") return;
        removed = true;
        first = event["file_path"].asString();
        for (const char* name : {"a.txt", "one/b.txt", "one/c.txt", "two/d.txt", "two/deep/e.txt"}) {
            if (U8(root_ / name) != first) fs::remove(root_ / name);
        }
        fs::remove(root_ / "empty");
    });
    int32_t files = 0;
    int32_t folders = 0;
    EXPECT_EQ(FileOperations().RemoveDirectoryTree(W(root_), true, &files, &folders), ErrorCode::Success);
    EXPECT_FALSE(fs::exists(root_));
    EXPECT_EQ(files, 1);
    EXPECT_EQ(folders, 4);  // one, two, two/deep and the root
    int notFound = 0;
    for (const Json::Value& event : FileEvents(hook.Events(), "delete")) {
        if (!event["success"].asBool()) {
            EXPECT_EQ(event["system_error_code"].asUInt(), 2u);
            ++notFound;
        }
    }
    EXPECT_EQ(notFound, 5);
}

TEST_F(RemoveTreeTest, ATreeDeeperThanAnyPathTheSystemReadsBackIsRemoved) {
#ifdef _WIN32
    GTEST_SKIP() << "a tree this deep is made and shown on Linux";
#else
    // 5,000 folders "d" in a chain: the deeper half lies beyond PATH_MAX, where no final
    // path can be read back; each is made relative to the one above.
    constexpr int kDepth = 5000;
    platform::UniqueFd folder(::open(root_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    for (int i = 0; i < kDepth; ++i) {
        ASSERT_EQ(::mkdirat(folder.get(), "d", 0755), 0) << i;
        folder.reset(::openat(folder.get(), "d", O_PATH | O_DIRECTORY | O_CLOEXEC));
        ASSERT_TRUE(folder.valid()) << i;
    }
    ASSERT_TRUE(platform::UniqueFd(::openat(folder.get(), "bottom.txt", O_WRONLY | O_CREAT | O_CLOEXEC, 0444)).valid());
    folder.reset();
    ASSERT_EQ(RemoveTreeWithoutEvents(W(root_)), 0u);
    EXPECT_FALSE(fs::exists(root_));
    ExpectOutsideUnchanged();
#endif
}

TEST_F(RemoveTreeTest, ANameThatIsNotUtf8StopsTheRemovalBeforeAnythingGoes) {
#ifdef _WIN32
    GTEST_SKIP() << "names on disk that are not valid text exist on Linux only";
#else
    const fs::path bad = root_ / "one" / std::string("bad\xFF\xFE.txt");
    test::WriteFile(bad, "x");
    fs::create_directory_symlink(outside_, root_ / "two" / "link");
    const test::TreeSnapshot rootBefore = test::SnapshotTree(root_);
    test::LogCapture log;
    int32_t files = 0;
    int32_t folders = 0;
    EXPECT_EQ(FileOperations().RemoveDirectoryTree(W(root_), true, &files, &folders), ErrorCode::DirectoryAccessDenied);
    EXPECT_EQ(test::SnapshotTree(root_), rootBefore);
    ExpectOutsideUnchanged();
    EXPECT_EQ(files + folders, 0);
    const auto deletes = FileEvents(log, "delete");
    ASSERT_EQ(deletes.size(), 1u);
    EXPECT_EQ(deletes[0]["system_error_code"].asUInt(), 123u);
#endif
}

TEST_F(RemoveTreeTest, UnsafeNamesOnDiskStopTheRemoval) {
#ifdef _WIN32
    GTEST_SKIP() << "names holding a backslash, a colon, a control character, a trailing dot or a device name "
                    "can be made on Linux only";
#endif
    for (const std::string name : {"back\\slash", "nul.txt", "trailing.", "a:b", "ctl\x01"}) {
        test::WriteFile(root_ / "one" / name, "x");
        const test::TreeSnapshot rootBefore = test::SnapshotTree(root_);
        test::LogCapture log;
        EXPECT_EQ(FileOperations().RemoveDirectoryTree(W(root_), true), ErrorCode::DirectoryAccessDenied) << name;
        EXPECT_EQ(test::SnapshotTree(root_), rootBefore) << name;
        fs::remove(root_ / "one" / name);
    }
    ExpectOutsideUnchanged();
}

TEST_F(RemoveTreeTest, ARemovalThatStopsLeavesTheCountersAtWhatWasDeleted) {
#ifdef _WIN32
    GTEST_SKIP() << "needs Linux mount namespaces";
#else
    // A mount point cannot be removed (EBUSY); the mounted files are never entered.
    // Runs in a child process with its own mount namespace.
    const fs::path mountPoint = root_ / "two" / "mounted";
    fs::create_directories(mountPoint);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int status = 0;
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount(outside_.c_str(), mountPoint.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            ::_exit(100);  // no mount namespaces here
        }
        test::LogCapture log;
        int32_t files = 0;
        int32_t folders = 0;
        const ErrorCode result = FileOperations().RemoveDirectoryTree(W(root_), true, &files, &folders);
        if (result != ErrorCode::DirectoryAccessDenied) status |= 1;
        if (test::SnapshotTree(mountPoint) != outsideBefore_) status |= 2;  // nothing inside the mount touched
        if (files != 5) status |= 4;                                         // every file went
        int successes = 0;
        for (const Json::Value& event : FileEvents(log, "delete")) successes += event["success"].asBool() ? 1 : 0;
        if (successes != files + folders) status |= 8;
        ::umount2(mountPoint.c_str(), MNT_DETACH);
        ::_exit(status);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 100) GTEST_SKIP() << "mount namespaces are not available";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ExpectOutsideUnchanged();
    EXPECT_TRUE(fs::exists(mountPoint));
#endif
}

TEST_F(RemoveTreeTest, AMountedRootIsRefused) {
#ifdef _WIN32
    GTEST_SKIP() << "needs Linux mount namespaces";
#else
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("none", root_.c_str(), "tmpfs", 0, nullptr) != 0) {
            ::_exit(100);
        }
        test::WriteFile(root_ / "in-tmpfs.txt", "x");
        test::LogCapture log;
        const ErrorCode result = FileOperations().RemoveDirectoryTree(W(root_), true);
        int status = result == ErrorCode::DirectoryAccessDenied ? 0 : 1;
        if (!fs::exists(root_ / "in-tmpfs.txt")) status |= 2;
        ::umount2(root_.c_str(), MNT_DETACH);
        ::_exit(status);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 100) GTEST_SKIP() << "mount namespaces are not available";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(fs::exists(root_ / "a.txt"));
#endif
}

}  // namespace
}  // namespace zuvelo
