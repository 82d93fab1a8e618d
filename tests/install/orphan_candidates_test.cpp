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
using ::testing::UnorderedElementsAre;

class OrphanDeletion : public ::testing::Test {
protected:
    // Lists the target, computes its orphans, then (after `meanwhile`) deletes them.
    ErrorCode Run(bool dryRun, const std::function<void()>& meanwhile = {}) {
        PinnedRoot root;
        uint32_t err = 0;
        EXPECT_TRUE(OpenVerifiedHandle(WidePath(target), root, err, 0x80));
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
                             "sub/installreceipt.json", "a/b/c/old.txt", "odd\\name"}) {
        test::WriteFile(target / name, "1234");
    }
    test::WriteFile(outside / "a.dll", "1234");
    test::WriteFile(outside / "x.dll", "1234");
    fs::create_symlink(outside / "a.dll", target / "a.dll");  // named like an expected file
    fs::create_directory_symlink(outside, target / "lib");    // on the way to one, never entered
    const test::TreeSnapshot before = test::SnapshotTree(temp.path());
    const test::TreeSnapshot outsideBefore = test::SnapshotTree(outside);

    ASSERT_EQ(Run(true), ErrorCode::Success);
    EXPECT_EQ(test::SnapshotTree(temp.path()), before);
    EXPECT_FALSE(result.deletionStarted);
    ASSERT_EQ(Run(false), ErrorCode::Success);

    EXPECT_THAT(Keys(files), UnorderedElementsAre("a.dll", "sub/installreceipt.json", "a/b/c/old.txt"));
    ASSERT_EQ(directories.size(), 6u);
    EXPECT_THAT(Keys({directories.begin(), directories.begin() + 2}), ElementsAre("a/b/c", "a/b"));
    EXPECT_THAT(Keys({directories.begin() + 2, directories.end()}), UnorderedElementsAre("a", "sub", "old", "lib"));
    EXPECT_EQ(result.filesRemoved, 3u);
    EXPECT_EQ(result.bytesFreed, 8u) << "a link frees nothing";
    EXPECT_EQ(result.dirsRemoved, 5u) << "old keeps its protected file";
    const std::vector<Json::Value> deletes = capture.EventsWhere("operation", "file:delete");
    EXPECT_TRUE(std::any_of(deletes.begin(), deletes.end(), [](const Json::Value& e) {
        return e["file_path"].asString().ends_with("/old") && e["system_error_code"].asUInt() == 145;
    })) << "the directory is not empty";
    std::vector<std::string> left;
    for (const auto& [path, kind] : test::SnapshotTree(target)) left.push_back(path);
    EXPECT_THAT(left, ElementsAre("BIN", "BIN/Tool.DLL", "InstallReceipt.json", "odd\\name", "old",
                                  "old/zuveloelevated.exe", "uninstall.exe"))
        << "an unsafe name is left alone";
    EXPECT_EQ(test::SnapshotTree(outside), outsideBefore);
}

TEST_F(OrphanDeletion, ASubfolderSwappedForALinkStopsTheRunWith145) {
    test::WriteFile(target / "sub/old.dll", "x");
    test::WriteFile(outside / "old.dll", "keep");
    const ErrorCode code = Run(false, [&] {
        fs::remove_all(target / "sub");
        fs::create_directory_symlink(outside, target / "sub");
    });
    EXPECT_EQ(code, ErrorCode::FileDeleteFailed);
    EXPECT_EQ(test::ReadFile(outside / "old.dll"), "keep");
    EXPECT_TRUE(fs::is_symlink(target / "sub")) << "nothing after the refusal is deleted";
}

}  // namespace
}  // namespace zuvelo
