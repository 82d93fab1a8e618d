#include <string>

#include "elevated/command_handlers.h"
#include "elevated/operation_frame.h"
#include "elevated/plan_steps.h"

namespace zuvelo {

ErrorCode HandleInstallPrereqs(const std::wstring& /*cdnUrl*/) {
    return RunCommandFrame("prereq_install", [] { return ReportNotBuilt("prereq_install"); });
}

ErrorCode RunInstallPrereqsOperation(const PlanOperation& operation) {
    const std::string missing = operation.cdnUrl.empty() ? "Missing cdnUrl" : "";
    return RunStepFrame("install_prereqs", missing, [] { return ReportNotBuilt("install_prereqs"); });
}

}  // namespace zuvelo
