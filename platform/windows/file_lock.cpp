#include "platform/file_lock.h"

#include <windows.h>

#include "platform/win32_error.h"
#include "platform/windows/win32_handle.h"
#include "platform/windows/win32_paths.h"

namespace zuvelo::platform {

namespace {

// The whole file, exclusively; waits for the holder unless failImmediately.
bool LockWholeFile(HANDLE file, bool failImmediately) {
    OVERLAPPED whole{};
    const DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (failImmediately ? LOCKFILE_FAIL_IMMEDIATELY : 0);
    return ::LockFileEx(file, flags, 0, MAXDWORD, MAXDWORD, &whole) != FALSE;
}

}  // namespace

uint32_t FileLock::Acquire(const std::filesystem::path& file, const std::function<void()>& beforeWaiting) {
    std::wstring path;
    if (const uint32_t err = windows::ExtendedLengthPath(file, path)) return err;
    windows::UniqueHandle handle(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle) return windows::LastError();
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle.get(), &info)) return windows::LastError();
    // A link at the name was opened as itself: refused as O_NOFOLLOW refuses it.
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return win32::kGenFailure;
    // The descriptor first: the lock goes with the handle it was taken through.
    UniqueFd fd;
    if (const uint32_t err = windows::DescriptorOf(std::move(handle), fd)) return err;
    const HANDLE locked = windows::HandleOf(fd.get());
    if (!LockWholeFile(locked, true)) {
        if (::GetLastError() != ERROR_LOCK_VIOLATION) return windows::LastError();
        if (beforeWaiting) beforeWaiting();
        if (!LockWholeFile(locked, false)) return windows::LastError();
    }
    fd_ = std::move(fd);
    return 0;
}

}  // namespace zuvelo::platform
