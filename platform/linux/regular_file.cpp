#include "platform/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/unique_fd.h"

namespace zuvelo::platform {

namespace {

// O_NONBLOCK keeps open() from waiting for a FIFO's writer; regular files ignore it.
UniqueFd OpenRegularFile(const std::filesystem::path& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat info {};
    if (fd && (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))) fd.reset();
    return fd;
}

ReadFileResult ReadAll(int fd, std::string& bytes, uint64_t maxBytes) {
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count == 0) return ReadFileResult::Ok;
        if (count < 0) {
            if (errno == EINTR) continue;
            return ReadFileResult::ReadFailed;
        }
        if (static_cast<uint64_t>(count) > maxBytes - bytes.size()) return ReadFileResult::TooLarge;
        bytes.append(buffer, static_cast<size_t>(count));
    }
}

}  // namespace

ReadFileResult ReadRegularFile(const std::filesystem::path& path, std::string& bytes, uint64_t maxBytes) {
    bytes.clear();
    UniqueFd fd = OpenRegularFile(path);
    if (!fd) return ReadFileResult::OpenFailed;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) return ReadFileResult::ReadFailed;
    if (static_cast<uint64_t>(info.st_size) > maxBytes) return ReadFileResult::TooLarge;
    const ReadFileResult result = ReadAll(fd.get(), bytes, maxBytes);
    if (result != ReadFileResult::Ok) bytes.clear();
    return result;
}

}  // namespace zuvelo::platform
