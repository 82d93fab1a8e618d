#include "elevated/plan_runner.h"

#include <cstdint>
#include <string>

#include "common/jsonl_logger.h"

namespace zuvelo {

namespace {

constexpr const char* kOperationWord = "execution_plan";

// A type the loader cannot produce is passed over as a success.
ErrorCode RunStep(const PlanOperation& operation, const StepHandlers& handlers) {
    const auto index = static_cast<int32_t>(operation.type);
    if (index < 0 || index >= kPlanOperationTypeCount || !handlers[index]) return ErrorCode::Success;
    return handlers[index](operation);
}

int64_t ProgressAfter(size_t stepsDone, size_t total) { return static_cast<int64_t>((100 * stepsDone) / total); }

}  // namespace

ErrorCode ExecutePlan(const std::vector<PlanOperation>& plan, const StepHandlers& handlers) {
    JsonlLogger& log = JsonlLogger::Instance();
    log.LogStatus(kOperationWord, "executing");
    log.LogDiagnostic(LogLevel::Info, "Executing plan with " + std::to_string(plan.size()) + " operations");
    for (size_t i = 0; i < plan.size(); ++i) {
        log.LogStatus(kOperationWord, "operation_" + std::to_string(i));
        const ErrorCode result = RunStep(plan[i], handlers);
        if (result != ErrorCode::Success) {
            log.LogError(result, kOperationWord, "Operation " + std::to_string(i) + " failed, aborting plan");
            return result;
        }
        log.LogProgress(kOperationWord, ProgressAfter(i + 1, plan.size()));
    }
    log.LogCompletion(kOperationWord);
    log.LogDiagnostic(LogLevel::Info, "Execution plan completed successfully");
    return ErrorCode::Success;
}

}  // namespace zuvelo
