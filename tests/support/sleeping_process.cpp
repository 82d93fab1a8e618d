#include "tests/support/sleeping_process.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

extern char** environ;

namespace zuvelo::test {

namespace fs = std::filesystem;

SleepingProcess::SleepingProcess(const fs::path& folder, const std::string& name, bool ignoreTerm) {
    const fs::path image = folder / name;
    fs::copy_file("/bin/sleep", image, fs::copy_options::overwrite_existing);
    fs::permissions(image, fs::perms::owner_all);
    // A shell that ignores SIGTERM passes that on to the image it becomes.
    std::vector<std::string> texts = ignoreTerm ? std::vector<std::string>{"/bin/sh", "-c", "trap '' TERM; exec \"$0\" 60",
                                                                            image.string()}
                                                : std::vector<std::string>{image.string(), "60"};
    std::vector<char*> argv;
    for (std::string& text : texts) argv.push_back(text.data());
    argv.push_back(nullptr);
    if (::posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        throw std::runtime_error("cannot start " + image.string());
    }
    // Running the image once /proc names it.
    for (int i = 0; i < 500; ++i) {
        std::error_code ec;
        if (fs::read_symlink("/proc/" + std::to_string(pid_) + "/exe", ec) == image) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    throw std::runtime_error("the copy of sleep did not start");
}

SleepingProcess::~SleepingProcess() {
    if (reaped_) return;
    ::kill(pid_, SIGKILL);
    Reap();
}

int SleepingProcess::Reap() {
    if (reaped_) return signal_;
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    signal_ = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return signal_;
}

bool SleepingProcess::Running() {
    if (reaped_) return false;
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done != pid_) return true;
    reaped_ = true;
    signal_ = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return false;
}

}  // namespace zuvelo::test
