#pragma once

#include "common/error_codes.h"
#include "elevated/plan_operation.h"
#include "elevated/plan_run_state.h"
#include "elevated/plan_runner.h"

// The step handler of each plan operation type; each checks its parameters
// when the runner reaches it and runs inside the step frame.
namespace zuvelo {

ErrorCode RunInstallPrereqsOperation(const PlanOperation& operation);
// Runs under state's update lock; a successful application is recorded in state for the target.
ErrorCode RunApplyManifestOperation(const PlanOperation& operation, PlanRunState& state);
ErrorCode RunWriteUninstallOperation(const PlanOperation& operation);
ErrorCode RunCreateShortcutsOperation(const PlanOperation& operation);
ErrorCode RunWriteReceiptOperation(const PlanOperation& operation);
ErrorCode RunReleaseSessionOperation(const PlanOperation& operation);
// Deletes only when state holds an application to the same target; otherwise
// the cleanup runs as a dry run. Takes state's update lock before it deletes.
ErrorCode RunPruneOrphansOperation(const PlanOperation& operation, PlanRunState& state);

// The handlers above, indexed by PlanOperationType; those that share what the
// run remembers use state, and those that change an installation (all but
// "install_prereqs" and "release_session") first take state's update lock.
StepHandlers StepHandlersFor(PlanRunState& state);

// Runs the plan with the handlers above and a state of its own.
ErrorCode ExecutePlan(const std::vector<PlanOperation>& plan);

}  // namespace zuvelo
