#include "platform/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <thread>
#include <utility>

#include "platform/win32_error.h"

extern char** environ;

namespace zuvelo::platform {

namespace {

constexpr size_t kOutputChunk = 4095;
constexpr auto kExitPollInterval = std::chrono::milliseconds(10);

// posix_spawn's attributes and file actions, released on every path.
class SpawnSetup {
public:
    SpawnSetup() {
        ::posix_spawnattr_init(&attributes_);
        ::posix_spawn_file_actions_init(&actions_);
        // A group of its own, so a time-out ends everything the child started;
        // SIGPIPE back at its default (this process ignores it) and nothing blocked.
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        sigset_t mask;
        sigemptyset(&mask);
        ::posix_spawnattr_setpgroup(&attributes_, 0);
        ::posix_spawnattr_setsigdefault(&attributes_, &defaults);
        ::posix_spawnattr_setsigmask(&attributes_, &mask);
        ::posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
        ::posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0);
    }
    ~SpawnSetup() {
        ::posix_spawn_file_actions_destroy(&actions_);
        ::posix_spawnattr_destroy(&attributes_);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    posix_spawn_file_actions_t* Actions() { return &actions_; }

    // 0 with the child's id, or the Windows number of why it did not start. The
    // child keeps only its standard streams and the descriptors below keepBelow:
    // whatever this process has open without close-on-exec (a library's socket,
    // a lock) is closed in it.
    uint32_t Spawn(const std::string& path, const std::vector<std::string>& arguments, pid_t& pid,
                   int keepBelow = 3) {
        ::posix_spawn_file_actions_addclosefrom_np(&actions_, keepBelow);
        std::vector<char*> argv;
        for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        const int err = ::posix_spawn(&pid, path.c_str(), &actions_, &attributes_, argv.data(), environ);
        return Win32ErrorFromErrno(err);
    }

private:
    posix_spawnattr_t attributes_;
    posix_spawn_file_actions_t actions_;
};

// The descriptor a child program is run from: the first after the standard streams.
constexpr int kRunFrom = 3;

// Starts with "#!": run by an interpreter that opens the file by its name.
bool IsScript(int fd) {
    char start[2] = {};
    return ::pread(fd, start, sizeof start, 0) == 2 && start[0] == '#' && start[1] == '!';
}

// Whole milliseconds left until the deadline (rounded up), 0 once it has passed.
int MillisecondsUntil(Deadline deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<int64_t>(left.count(), 0, INT_MAX));
}

// Waits until fd is readable: 0, 258 when the deadline passes, or the error.
uint32_t WaitReadable(int fd, Deadline deadline) {
    for (;;) {
        pollfd entry{fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, MillisecondsUntil(deadline));
        if (ready > 0) return 0;
        if (ready == 0) return win32::kWaitTimeout;
        if (errno != EINTR) return LastWin32Error();
    }
}

// A descriptor that becomes readable when the child ends; -1 when the kernel has none.
int PidFdOf(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

uint32_t ExitCodeOf(int status) {
    if (WIFEXITED(status)) return static_cast<uint32_t>(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return 128u + static_cast<uint32_t>(WTERMSIG(status));
    return 0;
}

}  // namespace

struct ChildProcess::State {
    pid_t pid = -1;  // also the process group
    UniqueFd pidFd;  // readable once the child ends; empty where the kernel has none
};

void ChildProcess::StateDeleter::operator()(State* state) const noexcept { delete state; }

uint32_t ChildProcess::StartExecutable(int executableFd, const std::vector<std::string>& arguments, ChildProcess& out) {
    // Above the standard streams and the descriptor it runs from, so neither can replace it.
    const UniqueFd executable(::fcntl(executableFd, F_DUPFD_CLOEXEC, kRunFrom + 1));
    if (!executable) return LastWin32Error();
    SpawnSetup setup;
    ::posix_spawn_file_actions_addopen(setup.Actions(), 1, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_adddup2(setup.Actions(), 1, 2);
    // The kernel loads a program from kRunFrom before close-on-exec shuts it. A
    // script's interpreter opens the very file by that name afterwards, so for a
    // script it stays open (dup2 clears close-on-exec), and is all it gets.
    const std::string held = "/proc/self/fd/" + std::to_string(executable.get());
    if (IsScript(executable.get())) {
        ::posix_spawn_file_actions_adddup2(setup.Actions(), executable.get(), kRunFrom);
    } else {
        // Opened again in the child, as the lowest free descriptor, keeping O_CLOEXEC.
        ::posix_spawn_file_actions_addopen(setup.Actions(), kRunFrom, held.c_str(), O_RDONLY | O_CLOEXEC, 0);
    }
    pid_t pid = -1;
    if (const uint32_t err = setup.Spawn("/proc/self/fd/" + std::to_string(kRunFrom), arguments, pid, kRunFrom + 1)) {
        return err;
    }
    out = ChildProcess();
    out.state_.reset(new State{pid, UniqueFd(PidFdOf(pid))});
    return 0;
}

uint32_t ChildProcess::StartShellCommand(const std::string& command, ChildProcess& out) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return LastWin32Error();
    UniqueFd readEnd(ends[0]);
    const UniqueFd writeEnd(ends[1]);
    SpawnSetup setup;
    ::posix_spawn_file_actions_adddup2(setup.Actions(), writeEnd.get(), 1);
    ::posix_spawn_file_actions_adddup2(setup.Actions(), writeEnd.get(), 2);
    pid_t pid = -1;
    if (const uint32_t err = setup.Spawn("/bin/sh", {"/bin/sh", "-c", command}, pid)) return err;
    out = ChildProcess();
    out.state_.reset(new State{pid, UniqueFd(PidFdOf(pid))});
    out.output_ = std::move(readEnd);
    return 0;
}

uint32_t ChildProcess::ReadOutput(Deadline deadline, std::string& output) {
    char chunk[kOutputChunk];
    while (output_) {
        if (const uint32_t err = WaitReadable(output_.get(), deadline)) return err;
        const ssize_t count = ::read(output_.get(), chunk, sizeof chunk);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) {
            output_.reset();
            break;
        }
        // Text ends at a NUL, as the chunk's text.
        output.append(chunk, ::strnlen(chunk, static_cast<size_t>(count)));
    }
    return 0;
}

uint32_t ChildProcess::Wait(Deadline deadline, uint32_t& exitCode) {
    if (!state_) return win32::kInvalidHandle;  // never waitpid(-1): that would reap any child
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(state_->pid, &status, WNOHANG);
        if (done == state_->pid) {
            state_.reset();
            exitCode = ExitCodeOf(status);
            return 0;
        }
        if (done < 0 && errno != EINTR) return LastWin32Error();
        if (std::chrono::steady_clock::now() >= deadline) return win32::kWaitTimeout;
        if (!state_->pidFd) {
            std::this_thread::sleep_for(kExitPollInterval);
        } else if (const uint32_t err = WaitReadable(state_->pidFd.get(), deadline);
                   err && err != win32::kWaitTimeout) {
            return err;
        }
    }
}

void ChildProcess::KillGroup() noexcept {
    output_.reset();
    if (!state_) return;
    const pid_t pid = state_->pid;
    ::kill(-pid, SIGKILL);
    // The child itself too, should it have left its group (its id stays its own until reaped).
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    state_.reset();
}

}  // namespace zuvelo::platform
