#include "elevated/plan_steps.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

#include "elevated/operation_frame.h"
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

TEST(OperationFrameTest, EscapedExceptionBecomesErrorFourAfterTheBodysObjectsAreGone) {
    test::LogCapture capture;
    bool destroyed = false;
    struct Guard {
        bool& flag;
        ~Guard() { flag = true; }
    };
    const ErrorCode result = RunCommandFrame("remove", [&]() -> ErrorCode {
        Guard guard{destroyed};
        throw std::runtime_error("exists: Permission denied");
    });
    EXPECT_EQ(result, ErrorCode::InternalError);
    EXPECT_TRUE(destroyed);
    EXPECT_THAT(test::SummarizeAll(capture.Events()),
                ElementsAre("status remove starting", "error remove 4 exists: Permission denied"));
}

TEST(OperationFrameTest, BodyResultPassesThroughWithoutEventsOfItsOwn) {
    test::LogCapture capture;
    EXPECT_EQ(RunStepFrame("apply_manifest", "", [] { return ErrorCode::FileNotFound; }), ErrorCode::FileNotFound);
    EXPECT_THAT(test::SummarizeAll(capture.Events()), ElementsAre("status apply_manifest starting"));
}

TEST(OperationFrameTest, MissingParametersKeepTheBodyFromRunning) {
    test::LogCapture capture;
    bool ran = false;
    EXPECT_EQ(RunStepFrame("write_receipt", "Missing x", [&] {
                  ran = true;
                  return ErrorCode::Success;
              }),
              ErrorCode::InvalidArguments);
    EXPECT_FALSE(ran);
    EXPECT_THAT(test::SummarizeAll(capture.Events()),
                ElementsAre("status write_receipt starting", "error write_receipt 1 Missing x"));
}

}  // namespace
}  // namespace zuvelo
