#include <filesystem>
#include <string>

#include "common/paths.h"
#include "elevated/command_handlers.h"
#include "elevated/operation_frame.h"
#include "elevated/plan_steps.h"
#include "install/product_identity.h"
#include "install/shortcut_creator.h"

namespace zuvelo {

namespace {

// The target folder, then launcherSubdir when given (an absolute one replaces
// it), then the launcher.
std::wstring PlanLauncherPath(const PlanOperation& operation) {
    std::filesystem::path path = NativePath(operation.targetPath);
    if (!operation.launcherSubdir.empty()) path /= NativePath(operation.launcherSubdir);
    return WidePath(path / NativePath(kLauncherExecutableName));
}

}  // namespace

ErrorCode HandleCreateShortcuts(const std::wstring& targetPath) {
    return RunCommandFrame("shortcuts_create", [&] {
        if (!CheckCommandTarget("shortcuts_create", targetPath)) return ErrorCode::InvalidArguments;
        ShortcutCreator creator;
        return creator.CreateShortcutsForInstallation(targetPath, L"", L"", L"");
    });
}

ErrorCode RunCreateShortcutsOperation(const PlanOperation& operation) {
    const std::string problem =
        operation.targetPath.empty() ? "Missing targetPath" : TargetPathProblem(operation.targetPath);
    return RunStepFrame("create_shortcuts", problem, [&] {
        ShortcutCreator creator;
        return creator.CreateShortcutsForInstallation(operation.targetPath, operation.launcherExecutable,
                                                      operation.launcherWorkingDir, PlanLauncherPath(operation));
    });
}

}  // namespace zuvelo
