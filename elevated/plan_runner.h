#pragma once

#include <array>
#include <functional>
#include <vector>

#include "common/error_codes.h"
#include "elevated/plan_operation.h"

namespace zuvelo {

using StepHandler = std::function<ErrorCode(const PlanOperation&)>;
// Indexed by PlanOperationType.
using StepHandlers = std::array<StepHandler, kPlanOperationTypeCount>;

// Runs the operations in order with progress, stopping at the first step that
// does not return 0; nothing already done is undone.
ErrorCode ExecutePlan(const std::vector<PlanOperation>& plan, const StepHandlers& handlers);

}  // namespace zuvelo
