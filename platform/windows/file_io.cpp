#include "platform/file_io.h"

#include <windows.h>

#include <algorithm>

#include "platform/win32_error.h"
#include "platform/windows/win32_handle.h"
#include "platform/windows/win32_paths.h"

namespace zuvelo::platform {

namespace {

using windows::HandleOf;
using windows::kShareAll;
using windows::LastError;
using windows::UniqueHandle;
constexpr size_t kLargestTransfer = size_t{1} << 30;  // one ReadFile or WriteFile at most

DWORD TransferSize(size_t size) { return static_cast<DWORD>(std::min(size, kLargestTransfer)); }

// Whole seconds since 1970 of a FILETIME (100-nanosecond units since 1601), rounded down.
int64_t UnixSeconds(const FILETIME& time) {
    constexpr int64_t kTicksPerSecond = 10000000;
    constexpr int64_t kUnixEpoch = 116444736000000000;
    const int64_t ticks = static_cast<int64_t>((uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime);
    const int64_t since = ticks - kUnixEpoch;
    return since >= 0 ? since / kTicksPerSecond : -((-since + kTicksPerSecond - 1) / kTicksPerSecond);
}

uint32_t StatHandle(HANDLE handle, FileStat& out) {
    ::SetLastError(NO_ERROR);
    const DWORD type = ::GetFileType(handle);
    if (type != FILE_TYPE_DISK) {
        if (type == FILE_TYPE_UNKNOWN && ::GetLastError() != NO_ERROR) return LastError();
        out = FileStat{};
        out.mode = type == FILE_TYPE_PIPE ? 0010000 : 0020000;  // a pipe, else a device: never regular
        return 0;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle, &info)) return LastError();
    out.size = (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    out.lastWriteSeconds = UnixSeconds(info.ftLastWriteTime);
    out.mode = windows::ModeFromAttributes(info.dwFileAttributes);
    out.device = info.dwVolumeSerialNumber;
    out.inode = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    out.owner = 0;
    out.group = 0;
    out.hidden = (info.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN) != 0;
    out.system = (info.dwFileAttributes & FILE_ATTRIBUTE_SYSTEM) != 0;
    return 0;
}

// CreateFileW of the path's extended-length form, so that no length limit applies.
uint32_t OpenPath(const std::filesystem::path& path, DWORD access, DWORD share, DWORD disposition, DWORD flags,
                  UniqueHandle& out) {
    std::wstring extended;
    if (const uint32_t err = windows::ExtendedLengthPath(path, extended)) return err;
    out.reset(::CreateFileW(extended.c_str(), access, share, nullptr, disposition, flags, nullptr));
    return out ? 0 : LastError();
}

uint32_t OpenDescriptor(const std::filesystem::path& path, DWORD access, DWORD share, DWORD disposition,
                        DWORD flags, UniqueFd& out) {
    UniqueHandle handle;
    if (const uint32_t err = OpenPath(path, access, share, disposition, flags, handle)) return err;
    return windows::DescriptorOf(std::move(handle), out);
}

// ReadFile and WriteFile at an offset move the file pointer of a synchronous handle;
// pread and pwrite leave it where it was, and so does this.
class KeepFilePointer {
public:
    explicit KeepFilePointer(HANDLE handle) : handle_(handle) {
        kept_ = ::SetFilePointerEx(handle_, LARGE_INTEGER{}, &position_, FILE_CURRENT) != FALSE;
    }
    ~KeepFilePointer() {
        if (kept_) ::SetFilePointerEx(handle_, position_, nullptr, FILE_BEGIN);
    }
    KeepFilePointer(const KeepFilePointer&) = delete;
    KeepFilePointer& operator=(const KeepFilePointer&) = delete;

private:
    HANDLE handle_;
    LARGE_INTEGER position_{};
    bool kept_ = false;
};

OVERLAPPED At(uint64_t offset) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return at;
}

}  // namespace

uint32_t StatPath(const std::filesystem::path& path, FileStat& out) {
    UniqueHandle handle;
    if (const uint32_t err = OpenPath(path, FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                      handle)) {
        return err;
    }
    return StatHandle(handle.get(), out);
}

uint32_t StatFd(int fd, FileStat& out) { return StatHandle(HandleOf(fd), out); }

uint32_t StatEntry(int folderFd, const std::string& name, FileStat& out) {
    std::wstring wide;
    UniqueHandle handle;
    if (const uint32_t err = windows::WideComponent(name, wide)) return err;
    if (const uint32_t err = windows::OpenBelow(folderFd, wide, FILE_READ_ATTRIBUTES, handle)) return err;
    return StatHandle(handle.get(), out);
}

uint32_t CreateFolder(const std::filesystem::path& path) {
    std::wstring extended;
    if (const uint32_t err = windows::ExtendedLengthPath(path, extended)) return err;
    if (!::CreateDirectoryW(extended.c_str(), nullptr)) return LastError();
    return 0;
}

uint32_t SetMode(const std::filesystem::path& path, uint32_t mode) { return SetReadOnly(path, (mode & 0222) == 0); }

uint32_t SetReadOnly(const std::filesystem::path& path, bool readOnly) {
    UniqueHandle handle;
    if (const uint32_t err = OpenPath(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, handle)) {
        return err;
    }
    return windows::SetReadOnly(handle.get(), readOnly);
}

uint32_t SetReadOnly(int fd, bool readOnly) { return windows::SetReadOnly(HandleOf(fd), readOnly); }

// Files have no owner or group of this kind here; the attributes say all there is.
uint32_t SetOwnerAndMode(int fd, uint32_t /*owner*/, uint32_t /*group*/, uint32_t mode) { return SetModeOf(fd, mode); }

uint32_t SetModeOf(int fd, uint32_t mode) { return SetReadOnly(fd, (mode & 0222) == 0); }

uint32_t RemoveFile(const std::filesystem::path& path) {
    std::wstring extended;
    if (const uint32_t err = windows::ExtendedLengthPath(path, extended)) return err;
    if (!::DeleteFileW(extended.c_str())) return LastError();
    return 0;
}

uint32_t OpenForReading(const std::filesystem::path& path, UniqueFd& out) {
    return OpenDescriptor(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, out);
}

uint32_t OpenForReadingNoFollow(const std::filesystem::path& path, UniqueFd& out) {
    UniqueFd fd;
    if (const uint32_t err = OpenDescriptor(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                            FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, fd)) {
        return err;
    }
    FileStat opened;
    if (const uint32_t err = StatFd(fd.get(), opened)) return err;
    // The link itself was opened: refused with the number a link refused by O_NOFOLLOW gets.
    if ((opened.mode & 0170000) == 0120000) return win32::kGenFailure;
    out = std::move(fd);
    return 0;
}

uint32_t OpenForWriting(const std::filesystem::path& path, bool mustNotExist, uint32_t mode, UniqueFd& out) {
    // DELETE: RemoveIfStillSame takes back a file through its own handle.
    const DWORD access = GENERIC_WRITE | FILE_READ_ATTRIBUTES | DELETE;
    const DWORD attributes = (mode & 0222) == 0 ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL;
    const uint32_t err =
        OpenDescriptor(path, access, FILE_SHARE_READ, mustNotExist ? CREATE_NEW : OPEN_ALWAYS, attributes, out);
    return err == ERROR_FILE_EXISTS ? win32::kAlreadyExists : err;
}

// No DELETE access: readers would have to share deletion to open the file.
uint32_t CreateReadableWhileWritten(const std::filesystem::path& path, uint32_t mode, UniqueFd& out) {
    const DWORD attributes = (mode & 0222) == 0 ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL;
    const uint32_t err = OpenDescriptor(path, GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW, attributes, out);
    return err == ERROR_FILE_EXISTS ? win32::kAlreadyExists : err;
}

uint32_t ReadSome(int fd, void* buffer, size_t size, size_t& got) {
    got = 0;
    DWORD read = 0;
    if (!::ReadFile(HandleOf(fd), buffer, TransferSize(size), &read, nullptr)) {
        const DWORD error = ::GetLastError();
        return error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE ? 0 : LastError();
    }
    got = read;
    return 0;
}

uint32_t ReadAt(int fd, void* buffer, size_t size, uint64_t offset, size_t& got) {
    const HANDLE handle = HandleOf(fd);
    const KeepFilePointer keep(handle);
    auto* bytes = static_cast<unsigned char*>(buffer);
    got = 0;
    while (got < size) {
        OVERLAPPED at = At(offset + got);
        DWORD read = 0;
        if (!::ReadFile(handle, bytes + got, TransferSize(size - got), &read, &at)) {
            if (::GetLastError() == ERROR_HANDLE_EOF) break;
            return LastError();
        }
        if (read == 0) break;
        got += read;
    }
    return 0;
}

std::string TextModeBytes(const std::string& text) {
    std::string bytes;
    bytes.reserve(text.size() + text.size() / 16);
    for (const char c : text) {
        if (c == '\n') bytes += '\r';
        bytes += c;
    }
    return bytes;
}

uint32_t WriteFullyAt(int fd, const void* buffer, size_t size, uint64_t offset) {
    const HANDLE handle = HandleOf(fd);
    const KeepFilePointer keep(handle);
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    size_t done = 0;
    while (done < size) {
        OVERLAPPED at = At(offset + done);
        DWORD written = 0;
        if (!::WriteFile(handle, bytes + done, TransferSize(size - done), &written, &at)) return LastError();
        if (written == 0) return win32::kWriteFault;
        done += written;
    }
    return 0;
}

// The cache manager writes behind on its own; FlushFileBuffers waits for the rest.
void StartWriteback(int /*fd*/, uint64_t /*offset*/, uint64_t /*size*/) {}

uint32_t Truncate(int fd, uint64_t size) {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    if (!::SetFileInformationByHandle(HandleOf(fd), FileEndOfFileInfo, &end, sizeof end)) return LastError();
    return 0;
}

uint32_t FlushFile(int fd) {
    if (!::FlushFileBuffers(HandleOf(fd))) return LastError();
    return 0;
}

uint32_t CopyRange(int /*fromFd*/, int /*toFd*/, uint64_t /*toOffset*/, size_t /*size*/, size_t& copied) {
    copied = 0;
    return win32::kNotSupported;
}

uint32_t CopyFileTimes(int fromFd, int to) {
    FILETIME created{};
    FILETIME accessed{};
    FILETIME written{};
    if (!::GetFileTime(HandleOf(fromFd), &created, &accessed, &written)) return LastError();
    if (!::SetFileTime(HandleOf(to), &created, &accessed, &written)) return LastError();
    return 0;
}

uint32_t RemoveIfStillSame(const std::filesystem::path& path, int fd) {
    FileStat open;
    FileStat named;
    if (const uint32_t err = StatFd(fd, open)) return err;
    UniqueHandle byName;
    if (const uint32_t err = OpenPath(path, FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING, windows::kOpenAsItself,
                                      byName)) {
        return err;
    }
    if (const uint32_t err = StatHandle(byName.get(), named)) return err;
    if (!open.SameFile(named)) return win32::kAccessDenied;
    return windows::DeleteThroughHandle(HandleOf(fd));
}

}  // namespace zuvelo::platform
