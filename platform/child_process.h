#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

// Child processes (CreateProcessW, WaitForSingleObject, TerminateJobObject):
// started with no shell in between, in a job object of their own (on Linux with
// posix_spawn in a process group of their own), with standard streams kept away
// from the event stream; waited for against a deadline. Every function returns 0
// or the Windows number of the failure; 258 is a deadline that passed.
namespace zuvelo::platform {

using Deadline = std::chrono::steady_clock::time_point;

// One started child. A child still running when its owner goes is killed with
// its whole job (group) and waited for, so none is ever left behind.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Runs the executable open as executableFd (the object checked, never a name
    // that could have been swapped since), with arguments as its argv (argv[0]
    // first; on Windows joined into one command line quoted as the C runtime
    // splits it); standard streams on /dev/null (NUL), signal dispositions at
    // their defaults. On Windows the file is run by its final path while it is
    // held open with only reading shared, so it cannot be replaced meanwhile;
    // 5 when the path no longer leads to the file held.
    static uint32_t StartExecutable(int executableFd, const std::vector<std::string>& arguments, ChildProcess& out);

    // Runs "/bin/sh -c command" ("cmd.exe /c command" on Windows, the system
    // folder's cmd.exe) with standard output and error on one pipe (read with
    // ReadOutput) and standard input on /dev/null (NUL).
    static uint32_t StartShellCommand(const std::string& command, ChildProcess& out);

    // Appends what the command writes until every writer has closed the pipe:
    // 0, or 258 when the deadline passes first.
    uint32_t ReadOutput(Deadline deadline, std::string& output);

    // Waits until the child ends: 0 with its exit code (Linux: 128 + the signal
    // number when a signal ended it), or 258 when the deadline passes first.
    uint32_t Wait(Deadline deadline, uint32_t& exitCode);

    // Kills the child's whole job (process group) and waits for (reaps) the child.
    void KillGroup() noexcept;

    // True from the start until the child has been waited for.
    bool Running() const;

private:
    // The started child as this system holds it (its process and job, or its process
    // group); freed by the system's own code, so this header names no system type.
    struct State;
    struct StateDeleter {
        void operator()(State* state) const noexcept;
    };

    std::unique_ptr<State, StateDeleter> state_;  // until waited for
    UniqueFd output_;  // read end of the command's pipe
};

}  // namespace zuvelo::platform
