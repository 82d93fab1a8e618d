#include "elevated/plan_steps.h"

#include <utility>

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

}  // namespace zuvelo
