#include "platform/open_beneath.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/win32_error.h"

namespace zuvelo::platform {

namespace {

bool IsPlainComponent(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// The plain components of relative; false when one is not plain.
bool SplitPlain(const std::filesystem::path& relative, std::vector<std::string>& names) {
    for (const std::filesystem::path& part : relative) {
        if (part.empty()) continue;  // a trailing separator
        if (!IsPlainComponent(part.native())) return false;
        names.push_back(part.native());
    }
    return true;
}

// One folder component below dirFd, held without following a link.
uint32_t StepInto(int dirFd, const std::string& name, UniqueFd& out, bool& linkFound) {
    UniqueFd next(::openat(dirFd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!next) return LastWin32Error();
    struct stat st {};
    if (::fstat(next.get(), &st) != 0) return LastWin32Error();
    if (S_ISLNK(st.st_mode)) {
        linkFound = true;
        return win32::kAccessDenied;
    }
    if (!S_ISDIR(st.st_mode)) return win32::kPathNotFound;
    out = std::move(next);
    return 0;
}

// StepInto, making the folder first when it is missing (or made by someone else meanwhile).
uint32_t StepIntoOrCreate(int dirFd, const std::string& name, UniqueFd& out, bool& unsafe) {
    uint32_t err = StepInto(dirFd, name, out, unsafe);
    if (err != win32::kFileNotFound) return err;
    if (::mkdirat(dirFd, name.c_str(), 0755) != 0 && errno != EEXIST) return LastWin32Error();
    return StepInto(dirFd, name, out, unsafe);
}

// The last component, opened for reading; O_NONBLOCK so that a FIFO cannot block.
uint32_t OpenLast(int dirFd, const std::string& name, UniqueFd& out, bool& linkFound) {
    UniqueFd file(::openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
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

}  // namespace

uint32_t PinFolder(const std::filesystem::path& folder, UniqueFd& out) {
    UniqueFd fd(::open(folder.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return LastWin32Error();
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return LastWin32Error();
    if (!S_ISDIR(st.st_mode)) return win32::kDirectoryNameInvalid;  // a file or a link, not a missing path
    out = std::move(fd);
    return 0;
}

uint32_t OpenForReadingBeneath(int rootFd, const std::filesystem::path& relative, UniqueFd& out, bool& linkFound) {
    linkFound = false;
    std::vector<std::string> names;
    if (!SplitPlain(relative, names)) return win32::kInvalidName;
    if (names.empty()) return OpenLast(rootFd, ".", out, linkFound);

    UniqueFd held;
    int dirFd = rootFd;
    for (size_t i = 0; i + 1 < names.size(); ++i) {
        if (const uint32_t err = StepInto(dirFd, names[i], held, linkFound)) return err;
        dirFd = held.get();
    }
    return OpenLast(dirFd, names.back(), out, linkFound);
}

uint32_t OpenFolderBeneath(int rootFd, const std::filesystem::path& relative, bool createMissing, UniqueFd& out,
                           bool& unsafe) {
    unsafe = false;
    std::vector<std::string> names;
    if (!SplitPlain(relative, names)) return win32::kInvalidName;
    UniqueFd held(::fcntl(rootFd, F_DUPFD_CLOEXEC, 0));
    if (!held) return LastWin32Error();
    for (const std::string& name : names) {
        UniqueFd next;
        const uint32_t err = createMissing ? StepIntoOrCreate(held.get(), name, next, unsafe)
                                           : StepInto(held.get(), name, next, unsafe);
        if (err == win32::kPathNotFound) unsafe = true;  // a file where a folder must be
        if (unsafe) return win32::kAccessDenied;
        if (err != 0) return err;
        held = std::move(next);
    }
    out = std::move(held);
    return 0;
}

}  // namespace zuvelo::platform
