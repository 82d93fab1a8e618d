#include "platform/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/win32_error.h"

namespace zuvelo::platform {

namespace {

void FillStat(const struct stat& st, FileStat& out) {
    out.size = static_cast<uint64_t>(st.st_size);
    out.lastWriteSeconds = static_cast<int64_t>(st.st_mtim.tv_sec);
    out.mode = static_cast<uint32_t>(st.st_mode);
    out.device = static_cast<uint64_t>(st.st_dev);
    out.inode = static_cast<uint64_t>(st.st_ino);
    out.owner = static_cast<uint32_t>(st.st_uid);
    out.group = static_cast<uint32_t>(st.st_gid);
}

// Opened with O_NONBLOCK so that a FIFO never blocks; regular files ignore it,
// and it is cleared again for everything else.
int OpenNonBlocking(const std::filesystem::path& path, int flags, mode_t mode) {
    const int fd = ::open(path.c_str(), flags | O_NONBLOCK, mode);
    if (fd >= 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

// The permission bits SetReadOnly gives a file of this mode.
mode_t ReadOnlyBits(mode_t mode, bool readOnly) { return static_cast<mode_t>(ReadOnlyMode(mode, readOnly) & 07777); }

}  // namespace

uint32_t StatPath(const std::filesystem::path& path, FileStat& out) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return LastWin32Error();
    FillStat(st, out);
    return 0;
}

uint32_t StatFd(int fd, FileStat& out) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return LastWin32Error();
    FillStat(st, out);
    return 0;
}

uint32_t StatEntry(int folderFd, const std::string& name, FileStat& out) {
    struct stat st {};
    if (::fstatat(folderFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return LastWin32Error();
    FillStat(st, out);
    return 0;
}

uint32_t SetOwnerAndMode(int fd, uint32_t owner, uint32_t group, uint32_t mode) {
    // Changing the owner can clear mode bits, so the mode comes last.
    if (::fchown(fd, static_cast<uid_t>(owner), static_cast<gid_t>(group)) != 0) return LastWin32Error();
    return SetModeOf(fd, mode);
}

uint32_t SetModeOf(int fd, uint32_t mode) {
    if (::fchmod(fd, static_cast<mode_t>(mode & 0777)) != 0) return LastWin32Error();
    return 0;
}

uint32_t CreateFolder(const std::filesystem::path& path) {
    if (::mkdir(path.c_str(), 0755) != 0) return LastWin32Error();
    return 0;
}

uint32_t SetMode(const std::filesystem::path& path, uint32_t mode) {
    if (::chmod(path.c_str(), static_cast<mode_t>(mode & 07777)) != 0) return LastWin32Error();
    return 0;
}

uint32_t SetReadOnly(const std::filesystem::path& path, bool readOnly) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return LastWin32Error();
    if (::chmod(path.c_str(), ReadOnlyBits(st.st_mode, readOnly)) != 0) return LastWin32Error();
    return 0;
}

uint32_t SetReadOnly(int fd, bool readOnly) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return LastWin32Error();
    if (::fchmod(fd, ReadOnlyBits(st.st_mode, readOnly)) != 0) return LastWin32Error();
    return 0;
}

uint32_t RemoveFile(const std::filesystem::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0) {
        return win32::kAccessDenied;
    }
    if (::unlink(path.c_str()) != 0) return LastWin32Error();
    return 0;
}

uint32_t OpenForReading(const std::filesystem::path& path, UniqueFd& out) {
    const int fd = OpenNonBlocking(path, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return LastWin32Error();
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    out.reset(fd);
    return 0;
}

uint32_t OpenForReadingNoFollow(const std::filesystem::path& path, UniqueFd& out) {
    const int fd = OpenNonBlocking(path, O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0);
    if (fd < 0) return LastWin32Error();
    out.reset(fd);
    return 0;
}

uint32_t OpenForWriting(const std::filesystem::path& path, bool mustNotExist, uint32_t mode, UniqueFd& out) {
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC;
    if (mustNotExist) flags |= O_EXCL;
    const int fd = OpenNonBlocking(path, flags, static_cast<mode_t>(mode & 0777));
    if (fd < 0) return LastWin32Error();
    out.reset(fd);
    return 0;
}

uint32_t CreateReadableWhileWritten(const std::filesystem::path& path, uint32_t mode, UniqueFd& out) {
    return OpenForWriting(path, true, mode, out);
}

uint32_t ReadSome(int fd, void* buffer, size_t size, size_t& got) {
    got = 0;
    while (true) {
        const ssize_t n = ::read(fd, buffer, size);
        if (n >= 0) {
            got = static_cast<size_t>(n);
            return 0;
        }
        if (errno != EINTR) return LastWin32Error();
    }
}

uint32_t ReadAt(int fd, void* buffer, size_t size, uint64_t offset, size_t& got) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    got = 0;
    while (got < size) {
        const ssize_t n = ::pread(fd, bytes + got, size - got, static_cast<off_t>(offset + got));
        if (n < 0) {
            if (errno == EINTR) continue;
            return LastWin32Error();
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return 0;
}

std::string TextModeBytes(const std::string& text) { return text; }

uint32_t WriteFullyAt(int fd, const void* buffer, size_t size, uint64_t offset) {
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(fd, bytes + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return LastWin32Error();
        }
        if (n == 0) return win32::kWriteFault;
        done += static_cast<size_t>(n);
    }
    return 0;
}

void StartWriteback(int fd, uint64_t offset, uint64_t size) {
    ::sync_file_range(fd, static_cast<off_t>(offset), static_cast<off_t>(size), SYNC_FILE_RANGE_WRITE);
}

uint32_t CopyRange(int fromFd, int toFd, uint64_t toOffset, size_t size, size_t& copied) {
    copied = 0;
    auto at = static_cast<loff_t>(toOffset);
    while (true) {
        const ssize_t n = ::copy_file_range(fromFd, nullptr, toFd, &at, size, 0);
        if (n >= 0) {
            copied = static_cast<size_t>(n);
            return 0;
        }
        if (errno != EINTR) return LastWin32Error();
    }
}

uint32_t Truncate(int fd, uint64_t size) {
    if (::ftruncate(fd, static_cast<off_t>(size)) != 0) return LastWin32Error();
    return 0;
}

uint32_t FlushFile(int fd) {
    if (::fdatasync(fd) != 0) return LastWin32Error();
    return 0;
}

uint32_t CopyFileTimes(int fromFd, int to) {
    struct stat st {};
    if (::fstat(fromFd, &st) != 0) return LastWin32Error();
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (::futimens(to, times) != 0) return LastWin32Error();
    return 0;
}

uint32_t RemoveIfStillSame(const std::filesystem::path& path, int fd) {
    HandleInfo open;
    HandleInfo named;
    if (const uint32_t err = QueryHandleInfo(fd, open)) return err;
    if (const uint32_t err = QueryPathInfo(path, false, named)) return err;
    if (!open.SameObject(named)) return win32::kAccessDenied;
    if (::unlink(path.c_str()) != 0) return LastWin32Error();
    return 0;
}

}  // namespace zuvelo::platform
