#include <string>

#include "common/jsonl_logger.h"
#include "common/paths.h"
#include "common/text.h"
#include "elevated/operation_frame.h"
#include "elevated/plan_steps.h"
#include "install/install_receipt.h"
#include "install/product_identity.h"
#include "resources/version.h"

namespace zuvelo {

namespace {

constexpr const char* kOperation = "write_receipt";

// "X/" and "X\" as "X", so the paths built from it lie inside it; "/" stays.
std::wstring WithoutTrailingSeparators(std::wstring path) {
    while (path.size() > 1 && (path.back() == L'/' || path.back() == L'\\')) path.pop_back();
    return path;
}

InstallReceipt ReceiptForInstallation(const PlanOperation& operation) {
    const std::wstring installPath = WithoutTrailingSeparators(operation.targetPath);
    InstallReceipt receipt = BuildInstallReceipt(installPath, operation.version);
    if (!operation.launcherExecutable.empty()) {
        SetReceiptComponent(receipt, "launcher", {operation.version, {operation.launcherExecutable}});
    }
    const std::wstring launcherFolder = JoinPathText(installPath, kLauncherFolderName);
    SetReceiptComponent(receipt, "helper",
                        {Utf8ToWide(version::kVersion),
                         {JoinPathText(launcherFolder, L"ZuveloElevated.exe"),
                          JoinPathText(launcherFolder, L"ZuveloElevatedLauncher.exe"),
                          JoinPathText(launcherFolder, L"ZuveloUninstall.exe")}});
    const std::wstring product = Utf8ToWide(version::kProductName);
    receipt.shortcuts = {{product, L"START_MENU", L"ALL_USERS"}, {product, L"DESKTOP", L"ALL_USERS"}};
    receipt.uninstallKey = std::wstring(L"HKEY_LOCAL_MACHINE\\") + kUninstallKeyPath;
    return receipt;
}

ErrorCode WriteReceiptForInstallation(const PlanOperation& operation) {
    const InstallReceipt receipt = ReceiptForInstallation(operation);
    const std::wstring path = WidePath(NativePath(receipt.installPath) / NativePath(kInstallReceiptFileName));
    const ErrorCode result = WriteInstallReceipt(receipt, path);
    if (result == ErrorCode::Success) {
        JsonlLogger::Instance().LogStatus(kOperation, "completed");
    } else {
        JsonlLogger::Instance().LogError(result, kOperation, "Failed to write install receipt");
    }
    return result;
}

}  // namespace

ErrorCode RunWriteReceiptOperation(const PlanOperation& operation) {
    const bool missing = operation.targetPath.empty() || operation.version.empty();
    const std::string problem =
        missing ? "Missing required parameters: targetPath, version" : TargetPathProblem(operation.targetPath);
    return RunStepFrame(kOperation, problem, [&] { return WriteReceiptForInstallation(operation); });
}

}  // namespace zuvelo
