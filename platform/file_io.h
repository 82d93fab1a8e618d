#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/handles.h"
#include "platform/unique_fd.h"

// Plain file I/O standing in for CreateFile/ReadFile/WriteFile/FlushFileBuffers/
// SetFileTime. Every function returns 0 or the Windows number of the failure.
namespace zuvelo::platform {

// What stat (following links) tells about a file.
struct FileStat {
    uint64_t size = 0;
    int64_t lastWriteSeconds = 0;  // whole seconds since 1970
    uint32_t mode = 0;
    uint64_t device = 0;
    uint64_t inode = 0;
    uint32_t owner = 0;
    uint32_t group = 0;
    bool hidden = false;  // the attribute bits of Windows; never set on Linux
    bool system = false;

    bool IsDirectory() const;
    bool IsRegular() const;
    bool IsReadOnly() const;  // no write permission bit
    bool SameFile(const FileStat& other) const { return device == other.device && inode == other.inode; }
};

uint32_t StatPath(const std::filesystem::path& path, FileStat& out);
uint32_t StatFd(int fd, FileStat& out);
// One name in the folder open as folderFd, never following a link (a link is
// reported as itself: neither regular nor a folder).
uint32_t StatEntry(int folderFd, const std::string& name, FileStat& out);

// mkdir (mode 0755 less the umask) of one folder whose parent exists; 183 when the name
// is taken.
uint32_t CreateFolder(const std::filesystem::path& path);

// chmod with the permission bits of mode.
uint32_t SetMode(const std::filesystem::path& path, uint32_t mode);

// Owner and group, then exactly the permission bits mode & 0777, of the file
// open as fd (the object opened, never a name that could have been swapped).
uint32_t SetOwnerAndMode(int fd, uint32_t owner, uint32_t group, uint32_t mode);
// Exactly the permission bits mode & 0777 of the file open as fd.
uint32_t SetModeOf(int fd, uint32_t mode);

// "File attributes": makes the file at path (a link followed) read-only, every write
// permission bit cleared, or writable, the owner's write bit added; its other bits stay.
// On Windows FILE_ATTRIBUTE_READONLY, set or cleared.
uint32_t SetReadOnly(const std::filesystem::path& path, bool readOnly);
// The same for the file open as fd.
uint32_t SetReadOnly(int fd, bool readOnly);
// The st_mode a file of this mode has once SetReadOnly made it read-only or writable.
uint32_t ReadOnlyMode(uint32_t mode, bool readOnly);

// unlink (DeleteFileW): a file or a link as itself; a folder and a read-only
// file fail with 5.
uint32_t RemoveFile(const std::filesystem::path& path);

// O_RDONLY, with sequential read-ahead advice. Opening never blocks (a FIFO
// opens at once); callers check that they opened a regular file.
uint32_t OpenForReading(const std::filesystem::path& path, UniqueFd& out);

// OpenForReading, except that a link as the last component is not followed
// (it fails). Opening never blocks; callers check that they opened a regular file.
uint32_t OpenForReadingNoFollow(const std::filesystem::path& path, UniqueFd& out);

// Opens or creates a file for writing without truncating it (the caller checks
// what it opened first). mustNotExist: O_EXCL, so an existing file or any link
// fails with 183. A created file gets mode & 0777 (less the umask). Opening
// never blocks; callers check what they opened.
uint32_t OpenForWriting(const std::filesystem::path& path, bool mustNotExist, uint32_t mode, UniqueFd& out);

// Creates a new file for text that others may read while it is written (a log):
// never over an existing name or any link (183); on Windows GENERIC_WRITE with read
// sharing and no other access, so an ordinary reader can open it meanwhile. The
// file gets mode & 0777 (less the umask).
uint32_t CreateReadableWhileWritten(const std::filesystem::path& path, uint32_t mode, UniqueFd& out);

// One read of up to size bytes at the current offset (retried on EINTR);
// got 0 means the end of the file.
uint32_t ReadSome(int fd, void* buffer, size_t size, size_t& got);

// Reads up to size bytes at offset, as many reads as it takes; got < size means
// the file ended first.
uint32_t ReadAt(int fd, void* buffer, size_t size, uint64_t offset, size_t& got);

// Writes all of size bytes at offset; a write that makes no progress is error 29.
uint32_t WriteFullyAt(int fd, const void* buffer, size_t size, uint64_t offset);

// The bytes a text-mode stream writes for text: each "\n" becomes "\r\n" on
// Windows; unchanged on Linux.
std::string TextModeBytes(const std::string& text);

// Starts write-back of a written range without waiting (so a later flush has
// less to wait for); failures are ignored.
void StartWriteback(int fd, uint64_t offset, uint64_t size);

// Copies up to size bytes from the current offset of fromFd to toOffset in toFd
// inside the system (copy_file_range), advancing fromFd's offset; copied 0 means
// fromFd ended. A failed call copied nothing; 50 where the system has no such copy
// (Windows), and callers then read and write the bytes themselves.
uint32_t CopyRange(int fromFd, int toFd, uint64_t toOffset, size_t size, size_t& copied);

// Sets the file's length.
uint32_t Truncate(int fd, uint64_t size);

// Writes the file's data to the device (fdatasync).
uint32_t FlushFile(int fd);

// Copies the last-access and last-write times of `from` to the file open as `to`
// (on Windows the creation time too).
uint32_t CopyFileTimes(int fromFd, int to);

// Removes the file at path only while it is still the object open as fd.
uint32_t RemoveIfStillSame(const std::filesystem::path& path, int fd);

}  // namespace zuvelo::platform
