#include <string>

#include "elevated/command_handlers.h"
#include "elevated/operation_frame.h"
#include "elevated/plan_steps.h"

namespace zuvelo {

ErrorCode HandleWriteUninstall(const std::wstring& /*targetPath*/, const std::wstring& /*version*/) {
    return RunCommandFrame("uninstall_write", [] { return ReportNotBuilt("uninstall_write"); });
}

ErrorCode RunWriteUninstallOperation(const PlanOperation& operation) {
    const bool missing = operation.targetPath.empty() || operation.version.empty();
    return RunStepFrame("write_uninstall", missing ? "Missing required parameters: targetPath, version" : "",
                        [] { return ReportNotBuilt("write_uninstall"); });
}

}  // namespace zuvelo
