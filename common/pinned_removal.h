#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/handles.h"
#include "platform/unique_fd.h"

// Extended-length paths and handle-verified removal.
//
// The root is pinned by a handle (platform::OpenForRemoval) together with its device
// and inode, and its final path is checked against the path it was pinned by. Every
// item below it is reached from that handle one component at a time, each opened
// relative to its parent's handle and never through a link or into another mount:
// that walk, not a path read back, shows where it lies, so a tree deeper than any path
// the system can read back is removed all the same. The item is deleted through its
// own handle (Windows) or by its name in its parent's handle once the name still holds
// it (Linux): a link goes as itself. On Linux final paths are readlink of
// /proc/self/fd/N ("/" separated, no trailing separator); final paths are compared as
// the file system compares names (platform::SamePathText: exactly on Linux, ignoring
// case on Windows). A folder on another mount is a reparse point. The extended-length
// helpers are pure text functions.
namespace zuvelo {

// DELETE with FILE_READ_ATTRIBUTES, the access directory removal pins with.
inline constexpr uint32_t kRemovalAccess = 0x10080;

struct PinnedRoot;

// The folders from the pinned root down to the one last worked in, each opened by its
// name from the one above and held, so the next item in the same part of the tree
// needs no walk from the root. They are used again only once the deepest of them is
// shown to lie as many levels below the root as when it was reached (a folder moved
// meanwhile is walked afresh). Only the deepest kHeldFolderLimit keep their handles, so
// a removal holds few handles at any depth.
class HeldFolders {
public:
    static constexpr size_t kHeldFolderLimit = 64;

    // The folder at relativeFolder below root ("\\" and "/" both separate its components;
    // empty for the root itself), reached or reused; fd receives its handle, valid until
    // the next call. The error otherwise: 2 or 3 when a folder on the way is missing or is
    // no folder; 5 with unsafe set when a link or another mount stands where a folder must be.
    uint32_t Reach(const PinnedRoot& root, std::string_view relativeFolder, int& fd, bool& unsafe);
    // Lets go of every held folder.
    void Clear();

private:
    struct Level {
        std::string name;
        platform::HandleInfo identity;
        platform::UniqueFd handle;  // empty above the deepest kHeldFolderLimit
        size_t end = 0;             // where the level's name ends in path_
    };
    // Keeps the held folders relativeFolder begins with and lets go of the others; the
    // components of relativeFolder below the kept ones are left in rest.
    void KeepLeading(std::string_view relativeFolder, std::string_view& rest);
    // The deepest held folder still lies levels_.size() levels below the root.
    bool DeepestStillInPlace(const PinnedRoot& root) const;

    std::vector<Level> levels_;
    std::string path_;  // the held names joined by the native separator (compared at once)
};

// The folder being cleaned, held open for one removal.
struct PinnedRoot {
    platform::UniqueFd handle;  // empty when not pinned; closed with the PinnedRoot
    std::wstring finalPath;     // the root's final path as read from the handle
    std::wstring extendedPath;  // ToExtendedLengthPath of the path it was pinned by (text only)
    platform::HandleInfo identity;  // device, inode and mount when it was pinned
    std::string finalPathUtf8;      // finalPath as the kernel spells it (a fast exact comparison)
    mutable HeldFolders held;       // the way down to the last item deleted or folder listed

    bool IsPinned() const { return handle.valid(); }
};

// One item found below the root.
struct RemovalEntry {
    std::wstring fullPath;
    std::string relativePath;  // UTF-8, relative to the root
    bool isDirectory = false;
};

// True when a's relative path has more separators ("\" and "/" together) than b's.
bool RemovalEntryDeeperFirst(const RemovalEntry& a, const RemovalEntry& b);
// Orders entries as sorting with RemovalEntryDeeperFirst does (equal depths keep their
// order), counting each entry's separators once however deep the paths are.
void SortDeeperFirst(std::vector<RemovalEntry>& entries);

// Pure text functions.
// Throws std::invalid_argument "Path contains an embedded NUL".
std::wstring ToExtendedLengthPath(const std::wstring& path);
std::wstring StripExtendedLengthPrefix(std::wstring path);

// CompareStringOrdinal with case ignored: equal after simple upper-casing of each
// character; a string of 2^31 characters or more never matches. Never throws.
// For names compared by rule (relative keys), never for a path's identity.
bool PathsEqualIgnoreCase(const std::wstring& a, const std::wstring& b) noexcept;

// A final path read from a handle, without trailing separators (kept when it is "/").
std::wstring TrimFinalPath(std::wstring path);

// The handle's final path (readlink of /proc/self/fd/N, decoded strictly from
// UTF-8); false with out untouched when it cannot be read (*win32Error, when
// given, says why: the system's error, or 123 for a name that is not UTF-8).
bool GetFinalPathFromHandle(int handle, std::wstring& out, uint32_t* win32Error = nullptr) noexcept;

// GetFullPathNameW stand-in: the absolute form of path (relative ones against the
// working folder), "\" read as "/", "." and ".." folded lexically, no trailing
// separator. Never throws: an invalid path (empty, NUL) or an exception gives 123.
bool ResolveFullPath(const std::wstring& path, std::wstring& out, uint32_t& win32Error) noexcept;

// Pins a folder (platform::OpenForRemoval): it must be a folder, not a link, not a mount
// point, and its final path must equal its resolved path (so no link on the way to it
// either). desiredAccess is accepted for the interface; the platform's removal access is used.
bool OpenVerifiedHandle(const std::wstring& path, PinnedRoot& out, uint32_t& win32Error,
                        uint32_t desiredAccess) noexcept;

// The object open as handle sits exactly at root.finalPath + separator + relativeUtf8,
// as its final path says.
bool HandleLiesUnderRoot(const PinnedRoot& root, int handle, const std::string& relativeUtf8,
                         uint32_t& win32Error) noexcept;

// Deletes one item below the pinned root (a link as itself). refusedUnsafe tells
// a safety refusal (unsafe name, root moved, a link or another mount on the way) from an
// ordinary I/O error. The root must still read its pinned final path, and fullPath must
// name root.finalPath + separator + relativeUtf8. The item's folder is reached from the
// root's handle (root.held), the item opened relative to it (platform::OpenForRemovalAt),
// made writable through its handle when read-only, and deleted (platform::RemoveHeld).
bool DeleteUnderPinnedRoot(const PinnedRoot& root, const std::wstring& fullPath, const std::string& relativeUtf8,
                           uint32_t& win32Error, bool& refusedUnsafe) noexcept;

// Deletes the (empty) pinned root itself through its pinned handle
// (platform::RemoveHeldFolder), once it still reads its pinned final path.
bool DeletePinnedRoot(PinnedRoot& root, uint32_t& win32Error) noexcept;

// The folder at relativeFolder below the pinned root, reached as DeleteUnderPinnedRoot
// reaches an item's folder (root.held); fd is valid until the next removal call on
// root. 0 or the error, unsafe as HeldFolders::Reach says.
uint32_t OpenFolderUnderPinnedRoot(const PinnedRoot& root, std::string_view relativeFolder, int& fd,
                                   bool& unsafe) noexcept;

}  // namespace zuvelo
