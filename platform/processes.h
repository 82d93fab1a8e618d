#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The running processes: the Toolhelp snapshot, OpenProcess, the close request
// (WM_CLOSE to the process's visible top-level windows), TerminateProcess and
// the waits on a process handle. A process is held by a handle opened when it is
// found, checked to run the image found: the handle keeps its id from being
// reused. On Linux processes are found in /proc by the base name of
// /proc/<pid>/exe and held by a pidfd; a request to close is SIGTERM, ending it
// SIGKILL, each sent only while the process still runs the image found. Every
// call returns 0 or a Windows number.
namespace zuvelo::platform {

// The executable file a process runs (on Windows the volume's serial number and
// the file's index).
struct ProcessImage {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool operator==(const ProcessImage&) const = default;
};

// Whether program files are named with ".exe" here (Windows); on Linux the
// programs are built without it.
#ifdef _WIN32
inline constexpr bool kProgramNamesEndInExe = true;
#else
inline constexpr bool kProgramNamesEndInExe = false;
#endif

// One process as the scan found it.
struct RunningProcess {
    uint32_t pid = 0;
    std::string exeName;    // the snapshot's name (Linux: the image's base name, " (deleted)" taken off)
    std::string imagePath;  // the image's full path (empty when it cannot be read)
    ProcessImage image;
    bool elevated = false;  // runs with administrator rights (Linux: as root)
    bool imageKnown = true;  // false when the process could not be opened to read its image
};

// Windows: every process of the snapshot, also those this one may not open (their
// image unknown). Linux: every process whose image can be read (kernel threads,
// zombies and processes this one may not look into are left out). 0, or the error
// of taking the snapshot (reading /proc).
uint32_t ListProcesses(std::vector<RunningProcess>& out);

// A process held by its handle (pidfd) with the image it ran when found.
class ProcessHandle {
public:
    ProcessHandle() = default;

    // Opens the process and checks that it still runs the image found: 0; 87 when
    // the process found is gone (ended, or its id now runs another image); 5 when
    // its image cannot be confirmed; else the error of opening it (5 when this
    // process may not).
    static uint32_t Open(const RunningProcess& process, ProcessHandle& out);

    // Asks the process to close: WM_CLOSE posted to each of its visible top-level
    // windows (none for a process without one); SIGTERM on Linux. 0; 87 when it
    // has ended; 5 when its image cannot be confirmed (nothing is sent).
    uint32_t RequestClose() const;

    // Ends the process at once (TerminateProcess with exit code 1; SIGKILL), without
    // waiting for it to be gone: 0; 87 when it has ended; 5 as above.
    uint32_t Terminate() const;

    // 0 once the process has ended; 258 when it still runs after the time-out.
    uint32_t WaitForExit(std::chrono::milliseconds timeout) const;

    uint32_t pid() const { return pid_; }
    bool valid() const;

private:
    // The process as this system holds it (a process handle, or a pidfd); freed by the
    // system's own code, so this header names no system type.
    struct State;
    struct StateDeleter {
        void operator()(State* state) const noexcept;
    };

    bool HasEnded() const;

    std::unique_ptr<State, StateDeleter> state_;
    uint32_t pid_ = 0;
    ProcessImage image_;
};

}  // namespace zuvelo::platform
