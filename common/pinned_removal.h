#pragma once

#include <cstdint>
#include <string>

#include "platform/handles.h"
#include "platform/unique_fd.h"

// Extended-length paths and handle-verified removal.
//
// On Linux a "handle" is an O_PATH|O_NOFOLLOW descriptor. The root is pinned by
// such a descriptor together with its device and inode; every item below it is reached from that descriptor one component at a
// time without following links, checked by its final path (readlink of
// /proc/self/fd/N) and deleted with unlinkat relative to its parent's descriptor.
// Final paths are native ("/" separated, no trailing separator) and compared as
// the file system compares names (platform::SamePathText: exactly on Linux,
// ignoring case on Windows). A folder on another mount is a reparse
// point. The extended-length helpers are pure text functions: no native call
// ever sees their output.
namespace zuvelo {

// DELETE with FILE_READ_ATTRIBUTES, the access directory removal pins with.
inline constexpr uint32_t kRemovalAccess = 0x10080;

// The folder being cleaned, held open for one removal.
struct PinnedRoot {
    platform::UniqueFd handle;  // empty when not pinned; closed with the PinnedRoot
    std::wstring finalPath;     // the root's final path as read from the handle
    std::wstring extendedPath;  // ToExtendedLengthPath of the path it was pinned by (text only)
    platform::HandleInfo identity;  // device, inode and mount when it was pinned
    std::string finalPathUtf8;      // finalPath as the kernel spells it (a fast exact comparison)

    // The folder of the last item deleted below the root, kept open for the next
    // item in the same folder (walk order deletes a folder's files one after the
    // other). It is only a shortcut for the component-by-component walk: its final
    // path is checked again for every item, and a stale one is walked afresh.
    struct ParentFolder {
        std::string relative;  // "/"-separated, relative to the root
        platform::UniqueFd handle;
        std::string expectedUtf8;   // root.finalPath + "/" + relative
        std::wstring expected;
    };
    mutable ParentFolder lastParent;

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

// Pins a folder: it must be a folder, not a link, not a mount point, and its final
// path must equal its resolved path (so no link on the way to it either).
// desiredAccess is accepted for the interface; an O_PATH descriptor carries none.
bool OpenVerifiedHandle(const std::wstring& path, PinnedRoot& out, uint32_t& win32Error,
                        uint32_t desiredAccess) noexcept;

// The object open as handle sits exactly at root.finalPath + "/" + relativeUtf8.
bool HandleLiesUnderRoot(const PinnedRoot& root, int handle, const std::string& relativeUtf8,
                         uint32_t& win32Error) noexcept;

// Deletes one item below the pinned root (a link as itself). refusedUnsafe tells
// a safety refusal (unsafe name, root moved, item not where expected) from an
// ordinary I/O error.
// Linux: the item's folder is reached from the root's handle one component at a
// time (never through a link or into another mount) and must sit at
// root.finalPath + its relative folder; the item is then its name in that folder,
// so its final path is exactly root.finalPath + "/" + relativeUtf8. Its identity
// (device, inode) is read without following a link, and the name is unlinked
// relative to the folder's handle: a link goes as itself. fullPath must name the
// same place (as opening it would check on Windows).
bool DeleteUnderPinnedRoot(const PinnedRoot& root, const std::wstring& fullPath, const std::string& relativeUtf8,
                           uint32_t& win32Error, bool& refusedUnsafe) noexcept;

// Deletes the (empty) pinned root itself.
bool DeletePinnedRoot(PinnedRoot& root, uint32_t& win32Error) noexcept;

}  // namespace zuvelo
