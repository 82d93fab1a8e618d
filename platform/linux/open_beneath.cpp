#include "platform/open_beneath_steps.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "platform/win32_error.h"

namespace zuvelo::platform::beneath {

bool IsPlainComponent(const std::filesystem::path& name) {
    const std::string& text = name.native();
    return !text.empty() && text != "." && text != ".." && text.find('/') == std::string::npos;
}

uint32_t DuplicateFolder(int fd, UniqueFd& out) {
    UniqueFd copy(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (!copy) return LastWin32Error();
    out = std::move(copy);
    return 0;
}

uint32_t OpenComponent(int dirFd, const std::filesystem::path& name, UniqueFd& out) {
    UniqueFd fd(::openat(dirFd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return LastWin32Error();
    out = std::move(fd);
    return 0;
}

uint32_t CreateFolderComponent(int dirFd, const std::filesystem::path& name) {
    if (::mkdirat(dirFd, name.c_str(), 0755) != 0) return LastWin32Error();
    return 0;
}

uint32_t OpenComponentForReading(int dirFd, const std::filesystem::path& name, UniqueFd& out, bool& linkFound) {
    const char* const text = name.empty() ? "." : name.c_str();
    // O_NONBLOCK so that a FIFO cannot block; cleared once it is open.
    UniqueFd file(::openat(dirFd, text, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file) {
        if (errno == ELOOP) {
            linkFound = true;
            return win32::kAccessDenied;
        }
        return LastWin32Error();
    }
    ::fcntl(file.get(), F_SETFL, ::fcntl(file.get(), F_GETFL) & ~O_NONBLOCK);
    out = std::move(file);
    return 0;
}

}  // namespace zuvelo::platform::beneath
