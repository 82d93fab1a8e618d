#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/held_folders.h"
#include "common/system_error.h"
#include "platform/handles.h"
#include "platform/unique_fd.h"

// Handle-verified removal.
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
// case on Windows). A folder on another mount is a reparse point. Every failure comes back
// as one SystemError: the Windows number, a safety refusal marked as such.
namespace zuvelo {

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

// The handle's final path (readlink of /proc/self/fd/N, decoded strictly from UTF-8);
// out stays untouched on failure: the system's error, or 123 for a name that is not UTF-8.
SystemError GetFinalPathFromHandle(int handle, std::wstring& out) noexcept;

// Pins a folder (platform::OpenForRemoval): it must be a folder, not a link, not a mount
// point, and its final path must equal its resolved path (so no link on the way to it
// either): 0, or the error (5 for anything but such a folder).
SystemError OpenVerifiedHandle(const std::wstring& path, PinnedRoot& out) noexcept;

// 0 when the object open as handle sits exactly at root.finalPath + separator +
// relativeUtf8, as its final path says; 5 when it lies anywhere else.
SystemError HandleLiesUnderRoot(const PinnedRoot& root, int handle, const std::string& relativeUtf8) noexcept;

// Deletes one item below the pinned root (a link as itself): 0, an ordinary I/O error, or
// a refusal (unsafe name, root moved, a link or another mount on the way). The root must
// still read its pinned final path, and fullPath must name root.finalPath + separator +
// relativeUtf8. The item's folder is reached from the root's handle (root.held), the item
// opened relative to it (platform::OpenForRemovalAt), made writable through its handle
// when read-only, and deleted (platform::RemoveHeld).
SystemError DeleteUnderPinnedRoot(const PinnedRoot& root, const std::wstring& fullPath,
                                  const std::string& relativeUtf8) noexcept;

// Deletes the (empty) pinned root itself through its pinned handle
// (platform::RemoveHeldFolder), once it still reads its pinned final path.
SystemError DeletePinnedRoot(PinnedRoot& root) noexcept;

}  // namespace zuvelo
