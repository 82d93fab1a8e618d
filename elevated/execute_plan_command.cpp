#include <string>
#include <vector>

#include "common/jsonl_logger.h"
#include "elevated/command_handlers.h"
#include "elevated/operation_frame.h"
#include "elevated/plan_loader.h"
#include "elevated/plan_steps.h"

namespace zuvelo {

namespace {

// Nothing of a plan runs unless the whole file loaded.
ErrorCode LoadAndExecutePlan(const std::wstring& planFile) {
    std::vector<PlanOperation> plan;
    const ErrorCode code = LoadPlanFromFile(planFile, plan);
    if (code != ErrorCode::Success) {
        JsonlLogger::Instance().LogError(code, "execute_plan", "Failed to load plan file");
        return code;
    }
    JsonlLogger::Instance().LogDiagnostic(LogLevel::Info,
                                          "Executing plan with " + std::to_string(plan.size()) + " operations");
    return ExecutePlan(plan);
}

}  // namespace

ErrorCode HandleExecutePlan(const std::wstring& planFile) {
    return RunCommandFrame("execute_plan", [&] { return LoadAndExecutePlan(planFile); });
}

}  // namespace zuvelo
