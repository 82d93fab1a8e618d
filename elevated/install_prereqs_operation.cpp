#include <string>

#include "elevated/command_handlers.h"
#include "elevated/operation_frame.h"
#include "elevated/plan_steps.h"
#include "install/prereq_installer.h"

namespace zuvelo {

namespace {

// One installer for the run; its download folder goes with it whatever the result.
ErrorCode InstallPrerequisitesFrom(const std::wstring& cdnUrl) {
    PrereqInstaller installer(cdnUrl);
    const ErrorCode result = installer.InstallPrerequisites();
    installer.CleanupDownloadDirectory();
    return result;
}

}  // namespace

ErrorCode HandleInstallPrereqs(const std::wstring& cdnUrl) {
    return RunCommandFrame("prereq_install", [&] { return InstallPrerequisitesFrom(cdnUrl); });
}

ErrorCode RunInstallPrereqsOperation(const PlanOperation& operation) {
    const std::string missing = operation.cdnUrl.empty() ? "Missing cdnUrl" : "";
    return RunStepFrame("install_prereqs", missing, [&] { return InstallPrerequisitesFrom(operation.cdnUrl); });
}

}  // namespace zuvelo
