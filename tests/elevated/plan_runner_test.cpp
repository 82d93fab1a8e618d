#include "elevated/plan_runner.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/event_summary.h"
#include "tests/support/log_capture.h"

namespace zuvelo {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

// Step handlers that record which operations ran and answer from a script.
struct FakeSteps {
    std::vector<std::wstring> ran;
    std::vector<ErrorCode> results;  // by call order; Success once exhausted

    StepHandlers Handlers() {
        StepHandlers handlers;
        for (StepHandler& handler : handlers) {
            handler = [this](const PlanOperation& operation) {
                ran.push_back(operation.targetPath);
                return ran.size() <= results.size() ? results[ran.size() - 1] : ErrorCode::Success;
            };
        }
        return handlers;
    }
};

std::vector<PlanOperation> Plan(size_t count) {
    std::vector<PlanOperation> plan(count);
    for (size_t i = 0; i < count; ++i) plan[i].targetPath = L"step" + std::to_wstring(i);
    return plan;
}

std::vector<int> ProgressValues(const test::LogCapture& capture) {
    std::vector<int> values;
    for (const Json::Value& event : capture.EventsWhere("event_type", "progress")) values.push_back(event["progress"].asInt());
    return values;
}

TEST(PlanRunnerTest, ReportsEachStepAndTruncatedProgress) {
    const struct {
        size_t steps;
        std::vector<int> progress;
    } cases[] = {
        {1, {100}},
        {3, {33, 66, 100}},
        {7, {14, 28, 42, 57, 71, 85, 100}},
    };
    for (const auto& c : cases) {
        test::LogCapture capture;
        FakeSteps steps;
        EXPECT_EQ(ExecutePlan(Plan(c.steps), steps.Handlers()), ErrorCode::Success);
        EXPECT_EQ(steps.ran.size(), c.steps);
        EXPECT_EQ(ProgressValues(capture), c.progress);
        for (const Json::Value& event : capture.Events()) {
            if (event["event_type"].asString() == "diagnostic") continue;
            EXPECT_EQ(event["operation"].asString(), "execution_plan");
        }
    }
}

TEST(PlanRunnerTest, EventOrderOfASuccessfulPlan) {
    test::LogCapture capture;
    FakeSteps steps;
    ASSERT_EQ(ExecutePlan(Plan(3), steps.Handlers()), ErrorCode::Success);
    EXPECT_THAT(test::SummarizeAll(capture.Events()),
                ElementsAre("status execution_plan executing", "diagnostic INFO Executing plan with 3 operations",
                            "status execution_plan operation_0", "progress execution_plan 33",
                            "status execution_plan operation_1", "progress execution_plan 66",
                            "status execution_plan operation_2", "progress execution_plan 100",
                            "completion execution_plan", "diagnostic INFO Execution plan completed successfully"));
}

TEST(PlanRunnerTest, EmptyPlanCompletesWithoutProgress) {
    test::LogCapture capture;
    FakeSteps steps;
    EXPECT_EQ(ExecutePlan({}, steps.Handlers()), ErrorCode::Success);
    EXPECT_TRUE(steps.ran.empty());
    EXPECT_THAT(test::SummarizeAll(capture.Events()),
                ElementsAre("status execution_plan executing", "diagnostic INFO Executing plan with 0 operations",
                            "completion execution_plan", "diagnostic INFO Execution plan completed successfully"));
}

TEST(PlanRunnerTest, FirstFailureAbortsAndLaterStepsNeverRun) {
    const struct {
        std::vector<ErrorCode> results;
        ErrorCode expected;
        size_t failedStep;
    } cases[] = {
        {{ErrorCode::Success, ErrorCode::DownloadFailed}, ErrorCode::DownloadFailed, 1},
        {{ErrorCode::InvalidArguments}, ErrorCode::InvalidArguments, 0},
        // "Already installed" is not 0, so it ends the plan like any failure.
        {{ErrorCode::Success, ErrorCode::Success, ErrorCode::PrereqAlreadyInstalled}, ErrorCode::PrereqAlreadyInstalled, 2},
    };
    for (const auto& c : cases) {
        test::LogCapture capture;
        FakeSteps steps;
        steps.results = c.results;
        EXPECT_EQ(ExecutePlan(Plan(4), steps.Handlers()), c.expected);
        EXPECT_EQ(steps.ran.size(), c.failedStep + 1);
        std::vector<std::string> expected{"status execution_plan executing",
                                          "diagnostic INFO Executing plan with 4 operations"};
        for (size_t i = 0; i < c.failedStep; ++i) {
            expected.push_back("status execution_plan operation_" + std::to_string(i));
            expected.push_back("progress execution_plan " + std::to_string(25 * (i + 1)));
        }
        expected.push_back("status execution_plan operation_" + std::to_string(c.failedStep));
        expected.push_back("error execution_plan " + std::to_string(ToInt(c.expected)) + " Operation " +
                           std::to_string(c.failedStep) + " failed, aborting plan");
        EXPECT_THAT(test::SummarizeAll(capture.Events()), ElementsAreArray(expected));
    }
}

TEST(PlanRunnerTest, DispatchesByOperationType) {
    test::LogCapture capture;
    std::vector<int> calledTypes;
    StepHandlers handlers;
    for (int32_t type = 0; type < kPlanOperationTypeCount; ++type) {
        handlers[type] = [&calledTypes, type](const PlanOperation&) {
            calledTypes.push_back(type);
            return ErrorCode::Success;
        };
    }
    std::vector<PlanOperation> plan(4);
    plan[0].type = PlanOperationType::PruneOrphans;
    plan[1].type = PlanOperationType::InstallPrereqs;
    plan[2].type = PlanOperationType::ReleaseSession;
    plan[3].type = PlanOperationType::WriteReceipt;
    EXPECT_EQ(ExecutePlan(plan, handlers), ErrorCode::Success);
    EXPECT_THAT(calledTypes, ElementsAre(6, 0, 5, 4));
}

}  // namespace
}  // namespace zuvelo
