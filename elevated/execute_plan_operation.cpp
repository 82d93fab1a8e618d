#include "elevated/plan_steps.h"

#include <string>
#include <utility>
#include <vector>

#include "common/jsonl_logger.h"
#include "elevated/command_handlers.h"
#include "elevated/operation_frame.h"
#include "elevated/plan_loader.h"

namespace zuvelo {

namespace {

// A step that changes an installation runs under the plan's update lock, taken
// before the first such step and held to the plan's end: no other update runs
// between two steps of the plan.
StepHandler UnderUpdateLock(StepHandler step, PlanRunState& state) {
    return [step = std::move(step), &state](const PlanOperation& operation) {
        if (const ErrorCode locked = state.HoldUpdateLock(); locked != ErrorCode::Success) return locked;
        return step(operation);
    };
}

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

StepHandlers StepHandlersFor(PlanRunState& state) {
    const StepHandler apply = [&state](const PlanOperation& operation) {
        return RunApplyManifestOperation(operation, state);
    };
    const StepHandler prune = [&state](const PlanOperation& operation) {
        return RunPruneOrphansOperation(operation, state);
    };
    return StepHandlers{
        RunInstallPrereqsOperation,
        UnderUpdateLock(apply, state),
        UnderUpdateLock(RunWriteUninstallOperation, state),
        UnderUpdateLock(RunCreateShortcutsOperation, state),
        UnderUpdateLock(RunWriteReceiptOperation, state),
        RunReleaseSessionOperation,
        UnderUpdateLock(prune, state),
    };
}

ErrorCode ExecutePlan(const std::vector<PlanOperation>& plan) {
    PlanRunState state;  // this run's only; its lock goes with it at the plan's end
    return ExecutePlan(plan, StepHandlersFor(state));
}

ErrorCode HandleExecutePlan(const std::wstring& planFile) {
    return RunCommandFrame("execute_plan", [&] { return LoadAndExecutePlan(planFile); });
}

}  // namespace zuvelo
