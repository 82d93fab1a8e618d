#pragma once

#include <sys/types.h>

#include <csignal>
#include <filesystem>
#include <string>

namespace zuvelo::test {

// What Reap gives for a process that ended when asked to close, and for one ended at
// once: the signals on Linux; on Windows the sleeper's own exit code after its window
// closed, and TerminateProcess's exit code.
#ifdef _WIN32
inline constexpr int kEndedOnRequest = 0;
inline constexpr int kEndedByForce = 1;
#else
inline constexpr int kEndedOnRequest = SIGTERM;
inline constexpr int kEndedByForce = SIGKILL;
#endif

// A copy of a sleeping program saved as folder/name and started, so that the
// process runs an image of that name. On Linux a copy of sleep (ignoreTerm: it
// ignores SIGTERM); on Windows a copy of the test sleeper showing a window that
// closes on WM_CLOSE (ignoreTerm: no window, so nothing asks it to close).
// guarded (Windows only): its access list lets no other process open it.
// Killed and reaped when destroyed.
class SleepingProcess {
public:
    SleepingProcess(const std::filesystem::path& folder, const std::string& name, bool ignoreTerm = false,
                    bool guarded = false);
    ~SleepingProcess();
    SleepingProcess(const SleepingProcess&) = delete;
    SleepingProcess& operator=(const SleepingProcess&) = delete;

    pid_t pid() const { return pid_; }
    // Ends the process at once (SIGKILL; TerminateProcess with exit code 1).
    void Kill();
    // Reaps the process once it has ended (waiting unless `wait` is false): the
    // signal that ended it, 0 when it exited (Windows: its exit code), -1 when it
    // still runs.
    int Reap(bool wait = true);

private:
    pid_t pid_ = -1;
    int ended_ = -1;
#ifdef _WIN32
    void* process_ = nullptr;  // its handle
    // Waits for the window: "" once it shows, else why it did not.
    std::string AwaitWindow();
#endif
};

}  // namespace zuvelo::test
