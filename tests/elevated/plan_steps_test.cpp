#include "elevated/plan_steps.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "tests/support/absolute_paths.h"
#include "tests/support/event_summary.h"
#include "tests/support/log_capture.h"

namespace zuvelo {
namespace {

using ::testing::ElementsAre;

using Step = std::function<ErrorCode(const PlanOperation&)>;

struct MissingCase {
    std::string word;
    Step step;
    PlanOperation operation;
    std::string message;
};

// The two steps that share a run's state, in a run of their own.
ErrorCode ApplyAlone(const PlanOperation& operation) {
    PlanRunState state;
    return RunApplyManifestOperation(operation, state);
}
ErrorCode PruneAlone(const PlanOperation& operation) {
    PlanRunState state;
    return RunPruneOrphansOperation(operation, state);
}

PlanOperation With(std::function<void(PlanOperation&)> fill) {
    PlanOperation operation;
    fill(operation);
    return operation;
}

// Every step checks its parameters when it is reached: status "starting",
// then error 1 with its message, and its work never starts.
TEST(PlanStepsTest, MissingParametersGiveCodeOneWithTheStepsMessage) {
    const auto apply = [](PlanOperation& o) { o.manifestUrl = L"https://m"; o.targetPath = L"/t"; };
    const auto prune = [](PlanOperation& o) {
        o.targetPath = test::AbsolutePath(L"/t");
        o.component = L"client";
        o.sessionRoot = L"/s";
    };
    const auto relative = [](PlanOperation& o) { o.targetPath = L"rel/Zuvelo"; o.version = L"1.0.0"; };
    const MissingCase cases[] = {
        {"install_prereqs", RunInstallPrereqsOperation, {}, "Missing cdnUrl"},
        {"apply_manifest", ApplyAlone, With(apply),
         "Missing required parameters: manifestUrl, targetPath, cdnUrl"},
        {"apply_manifest", ApplyAlone, {}, "Missing required parameters: manifestUrl, targetPath, cdnUrl"},
        {"write_uninstall", RunWriteUninstallOperation, With([](PlanOperation& o) { o.targetPath = L"/t"; }),
         "Missing required parameters: targetPath, version"},
        {"write_uninstall", RunWriteUninstallOperation, With([](PlanOperation& o) { o.version = L"1"; }),
         "Missing required parameters: targetPath, version"},
        {"create_shortcuts", RunCreateShortcutsOperation, {}, "Missing targetPath"},
        {"write_receipt", RunWriteReceiptOperation, With([](PlanOperation& o) { o.targetPath = L"/t"; }),
         "Missing required parameters: targetPath, version"},
        // What is written into or for a folder needs it named absolutely, never a root.
        {"write_receipt", RunWriteReceiptOperation, With(relative), "Invalid targetPath"},
        {"write_uninstall", RunWriteUninstallOperation, With(relative), "Invalid targetPath"},
        {"create_shortcuts", RunCreateShortcutsOperation, With(relative), "Invalid targetPath"},
        {"release_session", RunReleaseSessionOperation, {}, "Missing sessionRoot"},
        {"prune_orphans", PruneAlone, {}, "Missing targetPath"},
        // Only an absolute folder that is not a file-system root is cleaned.
        {"prune_orphans", PruneAlone, With([](PlanOperation& o) { o.targetPath = L"/"; }), "Invalid targetPath"},
        {"prune_orphans", PruneAlone, With([](PlanOperation& o) { o.targetPath = L"install\\x"; }),
         "Invalid targetPath"},
        {"prune_orphans", PruneAlone, With([](PlanOperation& o) { o.targetPath = test::AbsolutePath(L"/t"); }),
         "Missing component (must be 'client' or 'launcher')"},
        {"prune_orphans", PruneAlone,
         With([](PlanOperation& o) { o.targetPath = test::AbsolutePath(L"/t"); o.component = L"server"; }),
         "Invalid component: must be 'client' or 'launcher'"},
        {"prune_orphans", PruneAlone, With(prune),
         "Missing session parameters: sessionRoot and filesManifest are required"},
    };
    for (const MissingCase& c : cases) {
        test::LogCapture capture;
        EXPECT_EQ(c.step(c.operation), ErrorCode::InvalidArguments) << c.message;
        EXPECT_THAT(test::SummarizeAll(capture.Events()),
                    ElementsAre("status " + c.word + " starting", "error " + c.word + " 1 " + c.message));
    }
}

}  // namespace
}  // namespace zuvelo
