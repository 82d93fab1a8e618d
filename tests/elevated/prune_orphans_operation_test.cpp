#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <filesystem>
#include <stdexcept>
#include <tuple>

#include "common/jsonl_logger.h"
#include "common/paths.h"
#include "common/update_lock.h"
#include "elevated/plan_steps.h"
#include "tests/support/event_summary.h"
#include "tests/support/log_capture.h"
#include "tests/support/scoped_env.h"
#include "tests/support/test_folders.h"

namespace zuvelo {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;

using ScopedVariable = test::ScopedEnvironmentVariable;

class PruneOrphansStep : public ::testing::Test {
protected:
    PruneOrphansStep() {
        test::WriteFile(target / "new.dll", "n");
        test::WriteFile(target / "unchanged.dll", "u");
        test::WriteFile(target / "old.dll", "o");
        test::WriteFile(session / "files.json", R"({"files":[{"file":"new.dll"}]})");
        operation.type = PlanOperationType::PruneOrphans;
        operation.targetPath = WidePath(target);
        operation.component = L"Launcher";
        operation.sessionRoot = WidePath(session);
        operation.filesManifest = WidePath(session / "files.json");
        applied.RecordAppliedManifest(WidePath(target / "."), {"new.dll", "Unchanged.dll"});
    }
    std::vector<std::string> Events() const { return test::SummarizeAll(capture.Events()); }

    test::ScopedMachineRoot machine;
    test::TempFolder temp;
    test::LogCapture capture;
    fs::path target = temp / "target";
    fs::path session = temp / "session";
    PlanOperation operation;
    PlanRunState applied;
    ScopedVariable dryRunVariable{"ZUVELO_ORPHAN_CLEANUP_DRYRUN", nullptr};
    ScopedVariable switchVariable{"ZUVELO_ORPHAN_CLEANUP", nullptr};
};

TEST_F(PruneOrphansStep, EnvironmentSwitchesDisableWinsOverDryRun) {
    struct Row {
        bool planDryRun;
        const char* dryRun;
        const char* cleanup;
        std::string message;  // empty: none of the three
        bool deletes;
    };
    const std::string disabled = "diagnostic INFO Orphan cleanup disabled via ZUVELO_ORPHAN_CLEANUP=0";
    const std::string viaVariable =
        "diagnostic INFO Orphan cleanup running in dry-run mode (via ZUVELO_ORPHAN_CLEANUP_DRYRUN=1)";
    const std::string viaPlan = "diagnostic INFO Orphan cleanup running in dry-run mode (via execution plan)";
    const Row rows[] = {
        {false, nullptr, "FALSE", disabled, false},
        {false, "1", "0", disabled, false},
        {false, nullptr, "no", "", true},
        {false, nullptr, "", "", true},
        {false, "TRUE", nullptr, viaVariable, false},
        {false, "yes", nullptr, "", true},
        {true, "0", nullptr, viaPlan, false},
    };
    for (const Row& row : rows) {
        test::WriteFile(target / "old.dll", "o");
        capture.Clear();
        ScopedVariable dryRun("ZUVELO_ORPHAN_CLEANUP_DRYRUN", row.dryRun);
        ScopedVariable cleanup("ZUVELO_ORPHAN_CLEANUP", row.cleanup);
        operation.dryRun = row.planDryRun;
        EXPECT_EQ(RunPruneOrphansOperation(operation, applied), ErrorCode::Success);
        const std::vector<std::string> events = Events();
        for (const std::string& message : {disabled, viaVariable, viaPlan}) {
            EXPECT_EQ(std::count(events.begin(), events.end(), message), message == row.message) << message;
        }
        EXPECT_EQ(fs::exists(target / "old.dll"), !row.deletes) << row.message;
        EXPECT_TRUE(fs::exists(target / "unchanged.dll"));
        EXPECT_THAT(events.back(),
                    row.message == disabled ? "status prune_orphans skipped" : "status prune_orphans completed");
    }
}

TEST_F(PruneOrphansStep, UnavailableSessionPartsSkipWithSuccess) {
    for (const auto& [field, details] : {std::pair{&PlanOperation::sessionRoot, "Session root is unavailable"},
                                         std::pair{&PlanOperation::filesManifest, "Files manifest is unavailable"}}) {
        PlanOperation incomplete = operation;
        incomplete.*field = WidePath(temp / "missing");
        capture.Clear();
        EXPECT_EQ(RunPruneOrphansOperation(incomplete, applied), ErrorCode::Success);
        EXPECT_EQ(Events().back(), std::string("status prune_orphans skipped ") + details);
    }
    EXPECT_TRUE(fs::exists(target / "old.dll"));
}

// The files manifest leaves out files already right at the target: without an
// update applied to this very target in the plan nothing may be deleted.
TEST_F(PruneOrphansStep, WithoutAnUpdateAppliedToTheTargetItIsADryRun) {
    // A folder whose name differs only in case is another folder on Linux.
    fs::create_directories(temp / "TARGET");
    for (const fs::path& applied : {temp / "other", temp / "TARGET"}) {
        if (!test::kCaseMatters && applied == temp / "TARGET") continue;  // the target itself here
        SCOPED_TRACE(applied.string());
        capture.Clear();
        PlanRunState elsewhere;
        elsewhere.RecordAppliedManifest(WidePath(applied), {"new.dll", "unchanged.dll"});
        EXPECT_EQ(RunPruneOrphansOperation(operation, elsewhere), ErrorCode::Success);
        EXPECT_THAT(Events(), Contains("diagnostic WARNING Orphan cleanup running in dry-run mode: no update was "
                                       "applied to this target earlier in this plan"));
        EXPECT_THAT(Events(), Contains(R"(status orphan_cleanup orphan_candidate {"path":"unchanged.dll","size":1,)"
                                       R"("type":"file"})"));
        EXPECT_TRUE(fs::exists(target / "old.dll") && fs::exists(target / "unchanged.dll"));
    }
}

// The cleanup deletes from the installation, so it waits while an update holds the machine's lock.
TEST_F(PruneOrphansStep, WaitsWhileAnUpdateHoldsTheLock) {
    platform::FileLock update;
    ASSERT_EQ(HoldUpdateLock(update, "test"), ErrorCode::Success);
    auto prune = std::async(std::launch::async, [&] { return RunPruneOrphansOperation(operation, applied); });
    EXPECT_EQ(prune.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    EXPECT_TRUE(fs::exists(target / "old.dll"));
    update.Release();
    EXPECT_EQ(prune.get(), ErrorCode::Success);
    EXPECT_FALSE(fs::exists(target / "old.dll"));
    EXPECT_THAT(Events(), Contains("diagnostic INFO Waiting for another update to finish"));
}

TEST_F(PruneOrphansStep, AnExceptionAfterDeletionBeganAbortsWithFour) {
    // Before any deletion the run only counts as skipped.
    for (const auto& [failingEvent, code, status] :
         {std::tuple{"orphan_cleanup_started", ErrorCode::Success, "status prune_orphans skipped sink failed"},
          std::tuple{"orphan_cleanup_complete", ErrorCode::InternalError, "status prune_orphans aborted"}}) {
        std::vector<std::string> lines;
        JsonlLogger::Instance().SetStdoutSinkForTesting([&](std::string_view line) {
            if (line.find(failingEvent) != std::string_view::npos) throw std::runtime_error("sink failed");
            lines.emplace_back(line);
        });
        EXPECT_EQ(RunPruneOrphansOperation(operation, applied), code) << failingEvent;
        EXPECT_EQ(test::Summarize(test::ParseJson(lines.back())), status);
    }
    EXPECT_FALSE(fs::exists(target / "old.dll"));
}

}  // namespace
}  // namespace zuvelo
