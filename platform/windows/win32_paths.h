#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/unique_fd.h"
#include "platform/windows/win32_handle.h"

// Path forms of the Windows file layer (never included above platform/): final paths read
// from handles, extended-length paths, and one name reached below a folder held open (the
// Windows form of openat).
namespace zuvelo::platform::windows {

// Holding an object never keeps others from reading, writing, renaming or deleting it.
inline constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Opens the object itself: a folder too, and a reparse point as itself (never followed).
inline constexpr DWORD kOpenAsItself = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
// The access of a path handle (O_PATH): enough to query it and read its final path.
inline constexpr DWORD kPathAccess = FILE_READ_ATTRIBUTES | SYNCHRONIZE;

// GetFinalPathNameByHandleW with flags 0: the "\\?\" form the system gives.
uint32_t FinalPathOf(HANDLE handle, std::wstring& out);

// The final path without its extended-length prefix ("\\?\C:\a" -> "C:\a",
// "\\?\UNC\srv\sh" -> "\\srv\sh"), as the callers compare paths.
std::wstring WithoutExtendedPrefix(const std::wstring& path);

// The extended-length form of a path (made absolute first), so that no length limit
// applies; a path that already has the prefix stays as it is.
uint32_t ExtendedLengthPath(const std::filesystem::path& path, std::wstring& out);

// The wide form of one plain name; 123 for an empty name, ".", "..", a separator, a
// colon (a stream), a NUL or invalid UTF-8.
uint32_t WideComponent(const std::string& name, std::wstring& out);

// Opens the name (one component) in the folder held as dirFd with the access given,
// relative to that handle (NtCreateFile with the folder as RootDirectory) and never
// following a reparse point: the object opened is that name in that folder now, whatever
// path the folder has meanwhile. Others may read, write and delete it meanwhile
// (kShareAll) unless share says otherwise.
uint32_t OpenBelow(int dirFd, const std::wstring& name, DWORD access, UniqueHandle& out);
uint32_t OpenBelow(int dirFd, const std::wstring& name, DWORD access, DWORD share, UniqueHandle& out);

// Makes the folder name in the folder held as dirFd, relative to that handle; 183 when
// the name is taken.
uint32_t CreateFolderBelow(int dirFd, const std::wstring& name);

// The path of the name in the folder held as dirFd (extended-length form), for creating it.
uint32_t PathBelow(int dirFd, const std::wstring& name, std::wstring& out);

// The handle as a descriptor owned by out; 4 (too many open files) when the C runtime
// has no descriptor left (the handle is closed then).
uint32_t DescriptorOf(UniqueHandle handle, UniqueFd& out);

}  // namespace zuvelo::platform::windows
