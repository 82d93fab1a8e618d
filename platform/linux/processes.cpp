#include "platform/processes.h"

#include <dirent.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <memory>
#include <optional>

#include "platform/unique_fd.h"
#include "platform/win32_error.h"

namespace zuvelo::platform {

namespace {

constexpr const char kDeletedSuffix[] = " (deleted)";

std::string ProcFolder(uint32_t pid) { return "/proc/" + std::to_string(pid); }

std::optional<uint32_t> PidOfName(const char* name) {
    uint64_t value = 0;
    if (*name == '\0') return std::nullopt;
    for (const char* c = name; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(*c - '0');
        if (value > UINT32_MAX) return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

std::optional<std::string> ReadLink(const std::string& path) {
    std::string target(4096, '\0');
    const ssize_t got = ::readlink(path.c_str(), target.data(), target.size());
    if (got <= 0 || static_cast<size_t>(got) >= target.size()) return std::nullopt;
    target.resize(static_cast<size_t>(got));
    return target;
}

std::optional<ProcessImage> ImageOf(uint32_t pid, struct stat* details = nullptr) {
    struct stat st {};
    if (::stat((ProcFolder(pid) + "/exe").c_str(), &st) != 0) return std::nullopt;
    if (details) *details = st;
    return ProcessImage{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

// The base name of the image path; an image replaced on disk is named as it was.
std::string ExeName(std::string path, const struct stat& image) {
    const size_t suffix = sizeof kDeletedSuffix - 1;
    if (image.st_nlink == 0 && path.size() > suffix && path.compare(path.size() - suffix, suffix, kDeletedSuffix) == 0) {
        path.resize(path.size() - suffix);
    }
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::optional<RunningProcess> DescribeProcess(uint32_t pid) {
    const std::optional<std::string> path = ReadLink(ProcFolder(pid) + "/exe");
    struct stat image {};
    struct stat folder {};
    if (!path) return std::nullopt;
    const std::optional<ProcessImage> identity = ImageOf(pid, &image);
    if (!identity || ::stat(ProcFolder(pid).c_str(), &folder) != 0) return std::nullopt;
    // /proc/<pid> belongs to the process's effective user.
    return RunningProcess{pid, ExeName(*path, image), *path, *identity, folder.st_uid == 0};
}

// Debian 12's <sys/pidfd.h> declares these without C linkage, so the calls go
// through syscall().
int PidfdOpen(uint32_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0u)); }
int PidfdSendSignal(int pidfd, int signalNumber) {
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, signalNumber, nullptr, 0u));
}

uint32_t SignalError(int err) { return err == ESRCH ? win32::kInvalidParameter : Win32ErrorFromErrno(err); }

bool HasEndedFd(int pidfd) {
    pollfd ready{pidfd, POLLIN, 0};
    return ::poll(&ready, 1, 0) > 0;
}

bool RunsImage(uint32_t pid, const ProcessImage& image) {
    const std::optional<ProcessImage> now = ImageOf(pid);
    return now && *now == image;
}

// The image is read through the process id; the pidfd then still naming a live
// process proves that the id was this process's when it was read.
uint32_t SignalWhileItRunsImage(int pidfd, uint32_t pid, const ProcessImage& image, int signalNumber) {
    if (!RunsImage(pid, image)) return HasEndedFd(pidfd) ? win32::kInvalidParameter : win32::kAccessDenied;
    if (PidfdSendSignal(pidfd, signalNumber) != 0) return SignalError(errno);
    return 0;
}

}  // namespace

struct ProcessHandle::State {
    UniqueFd pidfd;
};

void ProcessHandle::StateDeleter::operator()(State* state) const noexcept { delete state; }

uint32_t ListProcesses(std::vector<RunningProcess>& out) {
    out.clear();
    const std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
    if (!proc) return LastWin32Error();
    errno = 0;
    while (const dirent* entry = ::readdir(proc.get())) {
        if (const std::optional<uint32_t> pid = PidOfName(entry->d_name)) {
            if (std::optional<RunningProcess> process = DescribeProcess(*pid)) out.push_back(std::move(*process));
        }
        errno = 0;
    }
    return errno == 0 ? 0 : LastWin32Error();
}

uint32_t ProcessHandle::Open(const RunningProcess& process, ProcessHandle& out) {
    UniqueFd fd(PidfdOpen(process.pid));
    if (!fd) return SignalError(errno);
    ProcessHandle handle;
    handle.state_.reset(new State{std::move(fd)});
    handle.pid_ = process.pid;
    handle.image_ = process.image;
    // The id may have been given to another process between the scan and the open.
    if (handle.HasEnded()) return win32::kInvalidParameter;
    const std::optional<ProcessImage> now = ImageOf(process.pid);
    if (!now) return win32::kAccessDenied;
    if (*now != process.image) return win32::kInvalidParameter;
    out = std::move(handle);
    return 0;
}

bool ProcessHandle::HasEnded() const { return HasEndedFd(state_->pidfd.get()); }

bool ProcessHandle::valid() const { return state_ != nullptr; }

uint32_t ProcessHandle::RequestClose() const {
    if (!state_) return win32::kInvalidHandle;
    return SignalWhileItRunsImage(state_->pidfd.get(), pid_, image_, SIGTERM);
}

uint32_t ProcessHandle::Terminate() const {
    if (!state_) return win32::kInvalidHandle;
    return SignalWhileItRunsImage(state_->pidfd.get(), pid_, image_, SIGKILL);
}

uint32_t ProcessHandle::WaitForExit(std::chrono::milliseconds timeout) const {
    if (!state_) return win32::kInvalidHandle;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd ready{state_->pidfd.get(), POLLIN, 0};
        const int got = ::poll(&ready, 1, static_cast<int>(std::clamp<int64_t>(left.count(), 0, INT_MAX)));
        if (got > 0) return 0;
        if (got == 0) return win32::kWaitTimeout;
        if (errno != EINTR) return LastWin32Error();
    }
}

}  // namespace zuvelo::platform
