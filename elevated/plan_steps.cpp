#include "elevated/plan_steps.h"

namespace zuvelo {

const StepHandlers& DefaultStepHandlers() {
    static const StepHandlers handlers{
        RunInstallPrereqsOperation, RunApplyManifestOperation, RunWriteUninstallOperation, RunCreateShortcutsOperation,
        RunWriteReceiptOperation,   RunReleaseSessionOperation, RunPruneOrphansOperation,
    };
    return handlers;
}

ErrorCode ExecutePlan(const std::vector<PlanOperation>& plan) { return ExecutePlan(plan, DefaultStepHandlers()); }

}  // namespace zuvelo
