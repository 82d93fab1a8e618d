#include "tests/support/sleeping_process.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <chrono>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace zuvelo::test {

namespace fs = std::filesystem;

SleepingProcess::SleepingProcess(const fs::path& folder, const std::string& name, bool ignoreTerm) {
    const fs::path image = folder / name;
    fs::copy_file("/bin/sleep", image, fs::copy_options::overwrite_existing);
    fs::permissions(image, fs::perms::owner_all);
    // A shell that ignores SIGTERM passes that on to the image it becomes.
    std::string texts[] = {"/bin/sh", "-c", ignoreTerm ? "trap '' TERM; exec \"$0\" 60" : "exec \"$0\" 60", image};
    char* argv[] = {texts[0].data(), texts[1].data(), texts[2].data(), texts[3].data(), nullptr};
    if (::posix_spawn(&pid_, argv[0], nullptr, nullptr, argv, environ) != 0) throw std::runtime_error("cannot start sleep");
    for (int i = 0; i < 500; ++i) {
        std::error_code ec;
        if (fs::read_symlink("/proc/" + std::to_string(pid_) + "/exe", ec) == image) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    throw std::runtime_error("the copy of sleep did not start");
}

SleepingProcess::~SleepingProcess() {
    if (Reap(false) >= 0) return;
    ::kill(pid_, SIGKILL);
    Reap();
}

int SleepingProcess::Reap(bool wait) {
    int status = 0;
    pid_t done = 0;
    while (ended_ < 0 && (done = ::waitpid(pid_, &status, wait ? 0 : WNOHANG)) < 0 && errno == EINTR) {
    }
    if (ended_ < 0 && done == pid_) ended_ = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return ended_;
}

}  // namespace zuvelo::test
