#pragma once

#include "common/error_codes.h"
#include "elevated/plan_operation.h"
#include "elevated/plan_runner.h"

// The step handler of each plan operation type; each checks its parameters
// when the runner reaches it and runs inside the step frame.
namespace zuvelo {

ErrorCode RunInstallPrereqsOperation(const PlanOperation& operation);
ErrorCode RunApplyManifestOperation(const PlanOperation& operation);
ErrorCode RunWriteUninstallOperation(const PlanOperation& operation);
ErrorCode RunCreateShortcutsOperation(const PlanOperation& operation);
ErrorCode RunWriteReceiptOperation(const PlanOperation& operation);
ErrorCode RunReleaseSessionOperation(const PlanOperation& operation);
ErrorCode RunPruneOrphansOperation(const PlanOperation& operation);

// The handlers above, indexed by PlanOperationType.
const StepHandlers& DefaultStepHandlers();

// Runs the plan with the handlers above.
ErrorCode ExecutePlan(const std::vector<PlanOperation>& plan);

}  // namespace zuvelo
