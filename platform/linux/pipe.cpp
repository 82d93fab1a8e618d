#include "platform/pipe.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <thread>

#include "platform/linux/machine_root.h"
#include "platform/linux/pipe_socket.h"
#include "platform/utf8.h"
#include "platform/win32_error.h"

namespace zuvelo::platform {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kRetryPause{200};

bool IsPipePrefix(const std::string& name) {
    if (name.size() < 9) return false;
    auto sep = [](char c) { return c == '\\' || c == '/'; };
    return sep(name[0]) && sep(name[1]) && name[2] == '.' && sep(name[3]) && name.compare(4, 4, "pipe") == 0 &&
           sep(name[8]);
}

bool FillAddress(const std::filesystem::path& path, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.native().size() >= sizeof(address.sun_path)) return false;
    path.native().copy(address.sun_path, path.native().size());
    return true;
}

bool ShouldRetry(int err) { return err == ENOENT || err == ECONNREFUSED || err == EAGAIN; }

// Waits for a connect still in progress; returns its errno (0 when connected).
int FinishConnect(int fd, Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd pfd{fd, POLLOUT, 0};
    if (::poll(&pfd, 1, static_cast<int>(std::max<int64_t>(0, left.count()))) <= 0) return ETIMEDOUT;
    int err = 0;
    socklen_t len = sizeof(err);
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
    return err;
}

}  // namespace

std::filesystem::path PipeSocketPath(const std::wstring& name) {
    const std::string narrow = Utf8FromWide(name);
    if (narrow.empty()) return {};
    if (!IsPipePrefix(narrow)) return narrow.front() == '/' ? std::filesystem::path(narrow) : std::filesystem::path();
    const std::string leaf = narrow.substr(9);
    if (leaf.empty() || leaf == "." || leaf == ".." || leaf.find_first_of("\\/") != std::string::npos) return {};
    return MachineRoot() / "pipe" / leaf;
}

bool PipeConnection::Connect(const std::wstring& name, uint32_t timeoutMs, uint32_t* win32Error) {
    auto fail = [&](uint32_t code) {
        fd_.reset();
        if (win32Error) *win32Error = code;
        return false;
    };
    sockaddr_un address;
    // A name with no socket form can never be found: waited for like a missing one.
    const std::filesystem::path path = PipeSocketPath(name);
    if (!path.empty() && !FillAddress(path, address)) return fail(win32::kFilenameTooLong);

    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(timeoutMs);
    while (true) {
        int err = ENOENT;
        if (!path.empty()) {
            fd_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
            if (!fd_) return fail(LastWin32Error());
            err = ::connect(fd_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 ? 0 : errno;
            if (err == EINPROGRESS) err = FinishConnect(fd_.get(), deadline);
        }
        if (err == 0) {
            // Lines are written whole: back to blocking writes.
            ::fcntl(fd_.get(), F_SETFL, ::fcntl(fd_.get(), F_GETFL) & ~O_NONBLOCK);
            return true;
        }
        if (!ShouldRetry(err) || Clock::now() >= deadline) return fail(Win32ErrorFromErrno(err));
        fd_.reset();
        std::this_thread::sleep_for(std::min<Clock::duration>(kRetryPause, deadline - Clock::now()));
    }
}

uint32_t PipeConnection::Write(std::string_view text) {
    if (!fd_) return win32::kInvalidHandle;
    ssize_t written;
    do {
        written = ::send(fd_.get(), text.data(), text.size(), MSG_NOSIGNAL);
    } while (written < 0 && errno == EINTR);
    if (written < 0) return LastWin32Error();
    return static_cast<size_t>(written) == text.size() ? win32::kSuccess : win32::kWriteFault;
}

}  // namespace zuvelo::platform
