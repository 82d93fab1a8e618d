#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace zuvelo::test {

// A copy of sleep saved as folder/name and started, so that the process runs an
// image of that name (ignoreTerm: it ignores SIGTERM). Killed and reaped when destroyed.
class SleepingProcess {
public:
    SleepingProcess(const std::filesystem::path& folder, const std::string& name, bool ignoreTerm = false);
    ~SleepingProcess();
    SleepingProcess(const SleepingProcess&) = delete;
    SleepingProcess& operator=(const SleepingProcess&) = delete;

    pid_t pid() const { return pid_; }
    // Reaps the process once it has ended (waiting unless `wait` is false): the
    // signal that ended it, 0 when it exited, -1 when it still runs.
    int Reap(bool wait = true);

private:
    pid_t pid_ = -1;
    int ended_ = -1;
};

}  // namespace zuvelo::test
