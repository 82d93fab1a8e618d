#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/unique_fd.h"

// Handles for the handle-verified removal.
// A "handle" is an O_PATH|O_NOFOLLOW descriptor: it names one object without
// following a link, so a link is always opened, checked and deleted as itself.
// Every function returns 0 or the Windows number of the failure (platform/win32_error.h).
namespace zuvelo::platform {

// What statx (never following a link) tells about one object.
struct HandleInfo {
    uint64_t device = 0;
    uint64_t inode = 0;
    uint32_t mode = 0;         // st_mode: type and permission bits
    uint64_t mountId = 0;      // the mount the object is on; 0 when the kernel does not say
    bool mountRoot = false;    // the object is the root of a mount (a mount point)

    bool IsDirectory() const;
    bool IsSymlink() const;
    bool IsRegular() const;
    // "File attributes": read-only means no write permission bit (links never are).
    bool IsReadOnly() const;
    bool SameObject(const HandleInfo& other) const { return device == other.device && inode == other.inode; }
    // Another file system or another mount than `other` (a bind mount of the same
    // file system included): a folder like that counts as a reparse point.
    bool OnOtherMountThan(const HandleInfo& other) const;
};

// open(path, O_PATH|O_NOFOLLOW|O_CLOEXEC): the object itself, whatever its type.
uint32_t OpenPathHandle(const std::filesystem::path& path, UniqueFd& out);

// openat(dirFd, name, O_PATH|O_NOFOLLOW|O_CLOEXEC): one component below dirFd, never a
// path (a name holding "/" is refused with 123).
uint32_t OpenPathHandleAt(int dirFd, const std::string& name, UniqueFd& out);

// statx of a descriptor; statx(AT_SYMLINK_NOFOLLOW) of one name below dirFd.
uint32_t QueryHandleInfo(int fd, HandleInfo& out);
uint32_t QueryEntryInfo(int dirFd, const std::string& name, HandleInfo& out);
// lstat (followLinks false) or stat of a path.
uint32_t QueryPathInfo(const std::filesystem::path& path, bool followLinks, HandleInfo& out);

// Whether the folder open as fd is a mount point: the root of a mount, or on
// another mount than its parent folder.
uint32_t IsMountPoint(int fd, bool& mountPoint);

// The handle's final path: readlink("/proc/self/fd/N"), as the kernel has it now
// (" (deleted)" appended when the object is gone).
uint32_t ReadFinalPath(int fd, std::string& out);

// Adds (writable) or removes (read-only) write permission through the handle
// (chmod of /proc/self/fd/N, which reaches exactly the object the handle holds).
// Adding gives the owner write permission; removing clears every write bit.
uint32_t SetWritableThroughHandle(int fd, bool writable);

// unlinkat(dirFd, name, directory ? AT_REMOVEDIR : 0): a link goes as itself.
uint32_t RemoveEntryAt(int dirFd, const std::string& name, bool directory);

// An object held for a removal, a link as itself. Linux: as OpenPathHandle (an O_PATH
// descriptor keeps nobody from moving the object, so a removal checks where a held folder
// lies before it deletes in it). Windows: opened with DELETE and FILE_READ_ATTRIBUTES,
// sharing read and write but not delete, so nobody renames or deletes it while it is held.
uint32_t OpenForRemoval(const std::filesystem::path& path, UniqueFd& out);
// The same for one name below the folder held as dirFd, opened relative to that handle
// and never through a path (Windows: NtCreateFile with the folder as RootDirectory).
uint32_t OpenForRemovalAt(int dirFd, const std::string& name, UniqueFd& out);

// Deletes the object held as fd, opened with OpenForRemovalAt(dirFd, name); a link goes as
// itself. Linux: unlinkat(dirFd, name) once name still holds that very object (else 5).
// Windows: the delete disposition through fd itself; it goes when its last handle closes.
uint32_t RemoveHeld(int dirFd, const std::string& name, int fd);

// Deletes the empty folder held as fd, opened with OpenForRemoval(path) (absolute, not a
// root). Linux: by its name in its parent folder once that name still holds it (else 5).
// Windows: the delete disposition through fd itself.
uint32_t RemoveHeldFolder(int fd, const std::filesystem::path& path);

// The most levels OpenAncestor climbs in one call.
inline constexpr size_t kMaxAncestorLevels = 1000;

// The folder `levels` (1 to kMaxAncestorLevels) above the object held as fd, where it is
// now, opened as OpenPathHandle does. Linux: "../" repeated from fd, so the file system's
// own parents answer, at any depth. Windows: the handle's final path less that many
// components.
uint32_t OpenAncestor(int fd, size_t levels, UniqueFd& out);

// A readable directory descriptor for listing: openat(dirFd, name, O_RDONLY|O_DIRECTORY|
// O_NOFOLLOW|O_CLOEXEC); name "." reopens dirFd itself (also when it is an O_PATH one).
uint32_t OpenDirectoryForListing(int dirFd, const std::string& name, UniqueFd& out);
// The same for the folder at path, a link to a folder followed (as the C++ library's
// listing follows it); 3 for anything but a folder.
uint32_t OpenDirectoryForListing(const std::filesystem::path& folder, UniqueFd& out);

// Reads the entries of a directory descriptor (not "." and ".."), in the
// order the file system gives them. Takes ownership of the descriptor.
class DirectoryReader {
public:
    enum class Type { Unknown, Directory, Symlink, Regular, Other };
    struct Entry {
        std::string name;
        Type type = Type::Unknown;  // from d_type; Unknown when the file system does not say
    };

    explicit DirectoryReader(UniqueFd directory);
    ~DirectoryReader();
    DirectoryReader(const DirectoryReader&) = delete;
    DirectoryReader& operator=(const DirectoryReader&) = delete;

    // The descriptor being read (valid while the reader lives).
    int fd() const;
    // 0 and *done false with an entry, 0 and *done true at the end, or the error.
    uint32_t Next(Entry& entry, bool& done);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace zuvelo::platform
