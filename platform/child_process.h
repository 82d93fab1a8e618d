#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

// Child processes (CreateProcessW, WaitForSingleObject, TerminateProcess):
// started with posix_spawn in a process group of their own, with no shell in
// between and standard streams kept away from the event stream; waited for
// against a deadline. Every function returns 0 or the Windows number of the
// failure; 258 is a deadline that passed.
namespace zuvelo::platform {

using Deadline = std::chrono::steady_clock::time_point;

// One started child. A child still running when its owner goes is killed with
// its whole group and reaped, so none is ever left behind.
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
    // first); standard streams on /dev/null, signal dispositions at their defaults.
    static uint32_t StartExecutable(int executableFd, const std::vector<std::string>& arguments, ChildProcess& out);

    // Runs "/bin/sh -c command" with standard output and error on one pipe
    // (read with ReadOutput) and standard input on /dev/null.
    static uint32_t StartShellCommand(const std::string& command, ChildProcess& out);

    // Appends what the command writes until every writer has closed the pipe:
    // 0, or 258 when the deadline passes first.
    uint32_t ReadOutput(Deadline deadline, std::string& output);

    // Waits until the child ends: 0 with its exit code (128 + the signal number
    // when a signal ended it), or 258 when the deadline passes first.
    uint32_t Wait(Deadline deadline, uint32_t& exitCode);

    // Kills the child's whole process group and reaps the child.
    void KillGroup() noexcept;

    bool Running() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;  // also the process group; > 0 until reaped
    UniqueFd pidFd_;
    UniqueFd output_;  // read end of the command's pipe
};

}  // namespace zuvelo::platform
