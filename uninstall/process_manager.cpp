#include "uninstall/process_manager.h"

#include <cwctype>
#include <utility>

#include "common/jsonl_logger.h"
#include "common/text.h"
#include "platform/win32_error.h"

namespace zuvelo {

namespace {

namespace win32 = platform::win32;

constexpr ComponentLogger kLog{"process_manager"};

bool SameNameIgnoringCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::towlower(static_cast<wint_t>(a[i])) != std::towlower(static_cast<wint_t>(b[i]))) return false;
    }
    return true;
}

// The name itself, or where programs have no ".exe" ending the name without it.
bool IsProgramNamed(const std::wstring& exeName, const std::wstring& name) {
    if (SameNameIgnoringCase(exeName, name)) return true;
    const std::wstring ending = L".exe";
    if (platform::kProgramNamesEndInExe || name.size() <= ending.size()) return false;
    const size_t stem = name.size() - ending.size();
    return SameNameIgnoringCase(name.substr(stem), ending) && SameNameIgnoringCase(exeName, name.substr(0, stem));
}

}  // namespace

std::vector<std::wstring> GetProductProcessNames() {
    return {L"ZuveloLauncher.exe", L"Zuvelo.exe", L"ZuveloClient.exe", L"ZuveloElevated.exe",
            L"ZuveloElevatedLauncher.exe"};
}

ProcessManager::ProcessManager(std::vector<std::wstring> names, std::chrono::milliseconds closeWait)
    : names_(std::move(names)), closeWait_(closeWait) {}

ErrorCode ProcessManager::TerminateAllProductProcesses(int32_t* ended) {
    kLog.Info("Terminating all Zuvelo processes");
    std::vector<ProcessInfo> all;
    for (const std::wstring& name : names_) {
        std::vector<ProcessInfo> found;
        FindProcessesByName(name, found);  // a failed look-up only costs this name
        for (ProcessInfo& process : found) all.push_back(std::move(process));
    }
    if (all.empty()) {
        kLog.Info("No Zuvelo processes found");
        return ErrorCode::Success;
    }
    return TerminateProcesses(all, ended);
}

ErrorCode ProcessManager::FindProcessesByName(const std::wstring& name, std::vector<ProcessInfo>& out) {
    kLog.Info("Finding processes by name: " + WideToUtf8Lossy(name));
    out.clear();
    std::vector<platform::RunningProcess> running;
    if (platform::ListProcesses(running) != 0) {
        kLog.Error("Failed to create process snapshot");
        return ErrorCode::InternalError;
    }
    for (const platform::RunningProcess& process : running) {
        const std::wstring exeName = Utf8ToWideLossy(process.exeName);
        if (!IsProgramNamed(exeName, name)) continue;
        ProcessInfo info{process.pid, exeName, Utf8ToWideLossy(process.imagePath), process.elevated, {}, 0};
        // One that ended, or whose id now runs another image, is not there to end; one that
        // cannot be opened is, and fails when it is ended.
        info.openError = platform::ProcessHandle::Open(process, info.handle);
        if (info.openError == win32::kInvalidParameter) continue;
        out.push_back(std::move(info));
    }
    kLog.Info("Found " + std::to_string(out.size()) + " processes");
    return ErrorCode::Success;
}

ErrorCode ProcessManager::TerminateProcesses(std::vector<ProcessInfo>& processes, int32_t* ended) {
    kLog.Info("Terminating " + std::to_string(processes.size()) + " processes");
    ErrorCode last = ErrorCode::Success;
    for (const ProcessInfo& process : processes) {
        const ErrorCode result = TerminateById(process);
        if (result != ErrorCode::Success) {
            kLog.Warning("Failed to terminate process " + std::to_string(process.pid));
            last = result;
        } else if (ended) {
            ++*ended;
        }
    }
    return last;
}

ErrorCode ProcessManager::TerminateById(const ProcessInfo& process) {
    kLog.Info("Terminating process: " + std::to_string(process.pid));
    if (CloseGracefully(process) == ErrorCode::Success) {
        kLog.Info("Process terminated gracefully");
        return ErrorCode::Success;
    }
    kLog.Warning("Graceful termination failed, forcing");
    const ErrorCode forced = ForceTerminate(process);
    if (forced == ErrorCode::Success) {
        kLog.Info("Process terminated forcefully");
    } else {
        kLog.Error("Failed to terminate process");
    }
    return forced;
}

ErrorCode ProcessManager::CloseGracefully(const ProcessInfo& process) {
    if (process.openError != 0) return ErrorCode::InternalError;
    const uint32_t signalled = process.handle.RequestClose();
    if (signalled == win32::kInvalidParameter) return ErrorCode::Success;  // gone already
    if (signalled != 0) return ErrorCode::InternalError;
    const uint32_t waited = process.handle.WaitForExit(closeWait_);
    if (waited == 0) return ErrorCode::Success;
    return waited == win32::kWaitTimeout ? ErrorCode::TimedOut : ErrorCode::InternalError;
}

ErrorCode ProcessManager::ForceTerminate(const ProcessInfo& process) {
    // Not opened when found, or its image no longer confirmed: nothing is sent to it.
    const uint32_t signalled = process.openError != 0 ? process.openError : process.handle.Terminate();
    if (process.openError != 0 || signalled == win32::kAccessDenied) {
        kLog.Error("Failed to open process for termination: " + std::to_string(signalled));
        return ErrorCode::InternalError;
    }
    if (signalled == win32::kInvalidParameter) return ErrorCode::Success;  // gone already
    // Killing is asynchronous here: the files are removed only once the process is gone.
    const uint32_t failed = signalled != 0 ? signalled : process.handle.WaitForExit(closeWait_);
    if (failed == 0) return ErrorCode::Success;
    kLog.Error("TerminateProcess failed: " + std::to_string(failed));
    return ErrorCode::InternalError;
}

}  // namespace zuvelo
