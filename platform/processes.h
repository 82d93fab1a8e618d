#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

// The running processes (Toolhelp snapshot, OpenProcess, TerminateProcess and
// the waits on a process handle). Processes are found in /proc by the base name
// of /proc/<pid>/exe. A process is held by a pidfd opened when it is found,
// together with the image it ran then: signals and waits go through the pidfd,
// so a process id that was reused is never hit, and a signal is sent only while
// the process still runs that image. Every call returns 0 or a Windows number.
namespace zuvelo::platform {

// The executable file a process runs.
struct ProcessImage {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool operator==(const ProcessImage&) const = default;
};

// One process as the scan found it.
struct RunningProcess {
    uint32_t pid = 0;
    std::string exeName;    // base name of the image (" (deleted)" taken off a replaced one)
    std::string imagePath;  // the image's path as /proc tells it
    ProcessImage image;
    uint32_t effectiveUid = 0;
};

// Every process whose image can be read (kernel threads, zombies and processes
// this one may not look into are left out). 0, or the error of reading /proc.
uint32_t ListProcesses(std::vector<RunningProcess>& out);

// A process held by its pidfd with the image it ran when found.
class ProcessHandle {
public:
    ProcessHandle() = default;

    // Opens a pidfd for the process and checks that it still runs the image found:
    // 0; 87 when it is gone; 5 when the id now runs another image.
    static uint32_t Open(const RunningProcess& process, ProcessHandle& out);

    // Sends the signal while the process still runs its image: 0; 87 when it has
    // ended; 5 when its image cannot be confirmed (nothing is sent).
    uint32_t Signal(int signalNumber) const;

    // 0 once the process has ended; 258 when it still runs after the time-out.
    uint32_t WaitForExit(std::chrono::milliseconds timeout) const;

    uint32_t pid() const { return pid_; }
    bool valid() const { return pidfd_.valid(); }

private:
    bool HasEnded() const;
    bool RunsItsImage() const;

    UniqueFd pidfd_;
    uint32_t pid_ = 0;
    ProcessImage image_;
};

}  // namespace zuvelo::platform
