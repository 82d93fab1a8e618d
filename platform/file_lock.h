#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>

#include "platform/unique_fd.h"

// An exclusive lock on a lock file (flock; LockFileEx on Windows), held until the object goes or is
// released; the kernel drops it when the process dies, so a killed holder never
// blocks anyone. Functions return 0 or the Windows number of the failure.
namespace zuvelo::platform {

class FileLock {
public:
    FileLock() = default;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Opens the file (created with mode 0600 when missing, never through a
    // link) and takes the lock; when someone else holds it, calls beforeWaiting
    // once and then waits as long as it takes.
    uint32_t Acquire(const std::filesystem::path& file, const std::function<void()>& beforeWaiting);

    bool Held() const { return fd_.valid(); }
    void Release() { fd_.reset(); }

private:
    UniqueFd fd_;
};

}  // namespace zuvelo::platform
