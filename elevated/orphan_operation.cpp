#include <cwctype>
#include <string>

#include "elevated/operation_frame.h"
#include "elevated/plan_steps.h"

namespace zuvelo {

namespace {

std::wstring LowerCase(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    return text;
}

// The message of the first missing or invalid parameter, or empty.
std::string CheckPruneParameters(const PlanOperation& operation) {
    if (operation.targetPath.empty()) return "Missing targetPath";
    if (operation.component.empty()) return "Missing component (must be 'client' or 'launcher')";
    const std::wstring component = LowerCase(operation.component);
    if (component != L"client" && component != L"launcher") return "Invalid component: must be 'client' or 'launcher'";
    if (operation.sessionRoot.empty() || operation.filesManifest.empty())
        return "Missing session parameters: sessionRoot and filesManifest are required";
    return "";
}

}  // namespace

ErrorCode RunPruneOrphansOperation(const PlanOperation& operation) {
    return RunStepFrame("prune_orphans", CheckPruneParameters(operation), [] { return ReportNotBuilt("prune_orphans"); });
}

}  // namespace zuvelo
