#include <string>

#include "elevated/command_handlers.h"
#include "elevated/operation_frame.h"
#include "elevated/plan_steps.h"

namespace zuvelo {

ErrorCode HandleCreateShortcuts(const std::wstring& /*targetPath*/) {
    return RunCommandFrame("shortcuts_create", [] { return ReportNotBuilt("shortcuts_create"); });
}

ErrorCode RunCreateShortcutsOperation(const PlanOperation& operation) {
    const std::string missing = operation.targetPath.empty() ? "Missing targetPath" : "";
    return RunStepFrame("create_shortcuts", missing, [] { return ReportNotBuilt("create_shortcuts"); });
}

}  // namespace zuvelo
