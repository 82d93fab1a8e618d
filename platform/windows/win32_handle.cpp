#include "platform/windows/win32_handle.h"

#include <fcntl.h>
#include <io.h>

#include "platform/win32_error.h"

namespace zuvelo::platform::windows {

int DescriptorFromHandle(UniqueHandle handle) {
    if (!handle) return -1;
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle.get()), _O_BINARY);
    if (fd >= 0) handle.release();
    return fd;
}

HANDLE HandleOf(int fd) {
    if (fd < 0) return INVALID_HANDLE_VALUE;
    return reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
}

uint32_t LastError() {
    const DWORD error = ::GetLastError();
    return error != 0 ? error : win32::kGenFailure;
}

uint32_t ModeFromAttributes(DWORD attributes) {
    const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    uint32_t mode = (attributes & FILE_ATTRIBUTE_READONLY) != 0 ? 0444 : 0666;
    if (folder) mode |= 0111;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return mode | 0120000;
    return mode | (folder ? 0040000 : 0100000);
}

uint32_t SetReadOnly(HANDLE handle, bool readOnly) {
    constexpr DWORD kSettable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                                FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    FILE_BASIC_INFO info{};
    if (!::GetFileInformationByHandleEx(handle, FileBasicInfo, &info, sizeof info)) return LastError();
    const DWORD now = info.FileAttributes & kSettable;
    const DWORD wanted = readOnly ? (now | FILE_ATTRIBUTE_READONLY) : (now & ~DWORD{FILE_ATTRIBUTE_READONLY});
    if (wanted == now) return 0;
    FILE_BASIC_INFO change{};  // zero times stay as they are
    change.FileAttributes = wanted != 0 ? wanted : FILE_ATTRIBUTE_NORMAL;
    if (!::SetFileInformationByHandle(handle, FileBasicInfo, &change, sizeof change)) return LastError();
    return 0;
}

uint32_t DeleteThroughHandle(HANDLE handle) {
    if (const uint32_t err = SetReadOnly(handle, false)) return err;
    FILE_DISPOSITION_INFO remove{TRUE};
    if (!::SetFileInformationByHandle(handle, FileDispositionInfo, &remove, sizeof remove)) return LastError();
    return 0;
}

}  // namespace zuvelo::platform::windows
