#include <string>

#include "elevated/operation_frame.h"
#include "elevated/plan_steps.h"

namespace zuvelo {

ErrorCode RunWriteReceiptOperation(const PlanOperation& operation) {
    const bool missing = operation.targetPath.empty() || operation.version.empty();
    return RunStepFrame("write_receipt", missing ? "Missing required parameters: targetPath, version" : "",
                        [] { return ReportNotBuilt("write_receipt"); });
}

}  // namespace zuvelo
