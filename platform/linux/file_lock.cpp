#include "platform/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

#include "platform/win32_error.h"

namespace zuvelo::platform {

namespace {

int LockRetryingOnSignals(int fd, int operation) {
    int result = 0;
    do {
        result = ::flock(fd, operation);
    } while (result != 0 && errno == EINTR);
    return result;
}

}  // namespace

uint32_t FileLock::Acquire(const std::filesystem::path& file, const std::function<void()>& beforeWaiting) {
    UniqueFd fd(::open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (!fd) return LastWin32Error();
    if (LockRetryingOnSignals(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) return LastWin32Error();
        if (beforeWaiting) beforeWaiting();
        if (LockRetryingOnSignals(fd.get(), LOCK_EX) != 0) return LastWin32Error();
    }
    fd_ = std::move(fd);
    return 0;
}

}  // namespace zuvelo::platform
