#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace zuvelo::test {

// A copy of sleep saved as folder/name and started, so that the process runs an
// image of that name. Killed (when still running) and reaped when destroyed.
class SleepingProcess {
public:
    // ignoreTerm: the process ignores SIGTERM.
    SleepingProcess(const std::filesystem::path& folder, const std::string& name, bool ignoreTerm = false);
    ~SleepingProcess();
    SleepingProcess(const SleepingProcess&) = delete;
    SleepingProcess& operator=(const SleepingProcess&) = delete;

    pid_t pid() const { return pid_; }
    // Waits for the process to end and reaps it: the signal that ended it, or 0
    // when it exited by itself.
    int Reap();
    // Whether the process is still running (reaping it when it has ended).
    bool Running();

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    int signal_ = 0;
};

}  // namespace zuvelo::test
