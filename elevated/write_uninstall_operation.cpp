#include <string>

#include "elevated/command_handlers.h"
#include "elevated/operation_frame.h"
#include "elevated/plan_steps.h"
#include "install/registry_manager.h"

namespace zuvelo {

ErrorCode HandleWriteUninstall(const std::wstring& targetPath, const std::wstring& version) {
    return RunCommandFrame("uninstall_write", [&] {
        if (!CheckCommandTarget("uninstall_write", targetPath)) return ErrorCode::InvalidArguments;
        RegistryManager registry;
        return registry.WriteUninstallInfo(targetPath, version, L"", L"");
    });
}

ErrorCode RunWriteUninstallOperation(const PlanOperation& operation) {
    const bool missing = operation.targetPath.empty() || operation.version.empty();
    const std::string problem =
        missing ? "Missing required parameters: targetPath, version" : TargetPathProblem(operation.targetPath);
    return RunStepFrame("write_uninstall", problem, [&] {
        RegistryManager registry;
        return registry.WriteUninstallInfo(operation.targetPath, operation.version, operation.launcherExecutable,
                                           operation.uninstallerExecutable);
    });
}

}  // namespace zuvelo
