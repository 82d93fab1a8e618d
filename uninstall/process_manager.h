#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "common/error_codes.h"
#include "platform/processes.h"

// Ends the product's running processes before its files are removed.
namespace zuvelo {

// One product process found running.
struct ProcessInfo {
    uint32_t pid = 0;
    std::wstring exeName;    // the executable's name as found
    std::wstring imagePath;  // its full path
    bool elevated = false;   // runs as the administrator
    platform::ProcessHandle handle;  // opened when found; every signal and wait goes through it
    uint32_t openError = 0;          // why it could not be opened when found (the handle is then empty)
};

// ZuveloLauncher.exe, Zuvelo.exe, ZuveloClient.exe, ZuveloElevated.exe,
// ZuveloElevatedLauncher.exe: the order they are looked for in. Where programs
// have no ".exe" ending (Linux) each also matches the name without it.
std::vector<std::wstring> GetProductProcessNames();

class ProcessManager {
public:
    static constexpr std::chrono::milliseconds kCloseWait{5000};

    // names: the executables to end; closeWait: how long a process is given to end
    // after it was asked to close, and again after it was killed.
    explicit ProcessManager(std::vector<std::wstring> names = GetProductProcessNames(),
                            std::chrono::milliseconds closeWait = kCloseWait);

    // Ends every running process of the names: 0, or the code of the last one that
    // could not be ended. ended, when given, is increased by each process ended.
    ErrorCode TerminateAllProductProcesses(int32_t* ended = nullptr);

    // The running processes whose executable name equals name, ignoring case (on
    // Linux also name without its ".exe"), also those that cannot be opened (with
    // openError): 0, or 4 when the process list cannot be read.
    ErrorCode FindProcessesByName(const std::wstring& name, std::vector<ProcessInfo>& out);

    // Ends each process in order, going on after a failure: 0, or the code of the last failure.
    ErrorCode TerminateProcesses(std::vector<ProcessInfo>& processes, int32_t* ended = nullptr);

    // Asks the process to close, then kills it when it does not: 0 once it has ended.
    ErrorCode TerminateById(const ProcessInfo& process);
    // A request to close and a wait of closeWait: 0 ended (also when it was gone already), 6 still running, 4 failed.
    ErrorCode CloseGracefully(const ProcessInfo& process);
    // Ending it at once and a wait for the process to be gone: 0 ended, 4 failed.
    ErrorCode ForceTerminate(const ProcessInfo& process);

private:
    std::vector<std::wstring> names_;
    std::chrono::milliseconds closeWait_;
};

}  // namespace zuvelo
