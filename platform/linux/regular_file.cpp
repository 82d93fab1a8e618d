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

bool ReadAll(int fd, std::string& bytes) {
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count == 0) return true;
        if (count < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.append(buffer, static_cast<size_t>(count));
    }
}

}  // namespace

ReadFileResult ReadRegularFile(const std::filesystem::path& path, std::string& bytes) {
    bytes.clear();
    UniqueFd fd = OpenRegularFile(path);
    if (!fd) return ReadFileResult::OpenFailed;
    return ReadAll(fd.get(), bytes) ? ReadFileResult::Ok : ReadFileResult::ReadFailed;
}

}  // namespace zuvelo::platform
