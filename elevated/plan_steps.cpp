#include "elevated/plan_steps.h"

namespace zuvelo {

StepHandlers StepHandlersFor(PlanRunState& state) {
    return StepHandlers{
        RunInstallPrereqsOperation,
        [&state](const PlanOperation& operation) { return RunApplyManifestOperation(operation, state); },
        RunWriteUninstallOperation,
        RunCreateShortcutsOperation,
        RunWriteReceiptOperation,
        RunReleaseSessionOperation,
        [&state](const PlanOperation& operation) { return RunPruneOrphansOperation(operation, state); },
    };
}

ErrorCode ExecutePlan(const std::vector<PlanOperation>& plan) {
    PlanRunState state;  // this run's only
    return ExecutePlan(plan, StepHandlersFor(state));
}

}  // namespace zuvelo
