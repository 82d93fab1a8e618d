#include "install/orphan_candidates.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "common/paths.h"
#include "tests/support/file_trees.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_folders.h"

namespace zuvelo {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAreArray;

// Where "\" is no separator a name may hold it, and is then unsafe.
constexpr bool kBackslashInNames = fs::path::preferred_separator == '/';

class OrphanDeletion : public ::testing::Test {
protected:
    // Lists the target, computes its orphans, then (after `meanwhile`) deletes them.
    ErrorCode Run(bool dryRun, const std::function<void()>& meanwhile = {}) {
        PinnedRoot root;
        EXPECT_EQ(OpenVerifiedHandle(WidePath(target), root), 0u);
        std::vector<InventoryEntry> inventory;
        EXPECT_EQ(BuildLocalInventory(root, WidePath(target), inventory), ErrorCode::Success);
        std::set<std::string> allowlist;
        BuildAllowlist(allowlist, ComponentKind::Client);
        files.clear();
        directories.clear();
        ComputeOrphans(inventory, {"a.dll", "bin/tool.dll", "lib/y.dll"}, allowlist, files, directories);
        if (meanwhile) meanwhile();
        return DeleteOrphans({dryRun, {}}, WidePath(target), root, files, directories, result);
    }
    static std::vector<std::string> Keys(const std::vector<OrphanCandidate>& candidates) {
        std::vector<std::string> keys;
        for (const OrphanCandidate& candidate : candidates) keys.push_back(candidate.relativeKey);
        return keys;
    }

    test::TempFolder temp;
    test::LogCapture capture;
    fs::path target = temp / "target";
    fs::path outside = temp / "outside";
    std::vector<OrphanCandidate> files;
    std::vector<OrphanCandidate> directories;
    OrphanCleanupResult result;
};

TEST_F(OrphanDeletion, DryRunThenRunRemoveWhatIsNeitherExpectedNorProtected) {
    for (const char* name : {"BIN/Tool.DLL", "InstallReceipt.json", "uninstall.exe", "old/zuveloelevated.exe",
                             "sub/installreceipt.json", "a/b/c/old.txt"}) {
        test::WriteFile(target / name, "1234");
    }
    fs::permissions(target / "a/b/c/old.txt", fs::perms::owner_read, fs::perm_options::replace);  // read-only
    std::vector<std::string> left{"BIN", "BIN/Tool.DLL", "InstallReceipt.json", "old", "old/zuveloelevated.exe",
                                  "uninstall.exe"};
    if (kBackslashInNames) {
        test::WriteFile(target / "odd\\name", "1234");
        left.insert(left.begin() + 3, "odd\\name");  // an unsafe name is left alone
    }
    test::WriteFile(outside / "a.dll", "1234");
    test::WriteFile(outside / "x.dll", "1234");
    std::vector<std::string> orphanFiles{"sub/installreceipt.json", "a/b/c/old.txt"};
    std::vector<std::string> shallowDirectories{"a", "sub", "old"};
    // Named like an expected file, and on the way to one (never entered).
    if (test::MakeLink(outside / "a.dll", target / "a.dll", test::LinkKind::File) &&
        test::MakeLink(outside, target / "lib", test::LinkKind::Folder)) {
        orphanFiles.push_back("a.dll");
        shallowDirectories.push_back("lib");
    }
    const test::TreeSnapshot before = test::SnapshotTree(temp.path());
    const test::TreeSnapshot outsideBefore = test::SnapshotTree(outside);

    ASSERT_EQ(Run(true), ErrorCode::Success);
    EXPECT_EQ(test::SnapshotTree(temp.path()), before);
    EXPECT_FALSE(result.deletionStarted);
    ASSERT_EQ(Run(false), ErrorCode::Success);

    EXPECT_THAT(Keys(files), UnorderedElementsAreArray(orphanFiles));
    ASSERT_EQ(directories.size(), shallowDirectories.size() + 2);
    EXPECT_THAT(Keys({directories.begin(), directories.begin() + 2}), ElementsAre("a/b/c", "a/b"));
    EXPECT_THAT(Keys({directories.begin() + 2, directories.end()}), UnorderedElementsAreArray(shallowDirectories));
    EXPECT_EQ(result.filesRemoved, orphanFiles.size());
    EXPECT_EQ(result.bytesFreed, 8u) << "a link frees nothing";
    EXPECT_EQ(result.dirsRemoved, directories.size() - 1) << "old keeps its protected file";
    const std::vector<Json::Value> deletes = capture.EventsWhere("operation", "file:delete");
    EXPECT_TRUE(std::any_of(deletes.begin(), deletes.end(), [](const Json::Value& e) {
        // 145: ERROR_DIR_NOT_EMPTY
        return NativePathUtf8(e["file_path"].asString()).filename() == "old" &&
               e["system_error_code"].asUInt() == 145;
    })) << "the directory is not empty";
    std::vector<std::string> found;
    for (const auto& [path, kind] : test::SnapshotTree(target)) found.push_back(path);
    EXPECT_EQ(found, left);
    EXPECT_EQ(test::SnapshotTree(outside), outsideBefore);
}

TEST_F(OrphanDeletion, ASubfolderSwappedForALinkStopsTheRunWith145) {
    test::WriteFile(target / "sub/old.dll", "x");
    test::WriteFile(outside / "old.dll", "keep");
    bool linked = false;
    const ErrorCode code = Run(false, [&] {
        fs::remove_all(target / "sub");
        linked = test::MakeLink(outside, target / "sub", test::LinkKind::Folder);
    });
    if (!linked) GTEST_SKIP() << test::kNoLinksHere;
    EXPECT_EQ(code, ErrorCode::FileDeleteFailed);
    EXPECT_EQ(test::ReadFile(outside / "old.dll"), "keep");
    EXPECT_TRUE(fs::is_symlink(target / "sub")) << "nothing after the refusal is deleted";
}

}  // namespace
}  // namespace zuvelo
