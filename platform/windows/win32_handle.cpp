#include "platform/windows/win32_handle.h"

#include <fcntl.h>
#include <io.h>

#include <vector>

#include "platform/compare_string.h"
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

uint32_t FinalPathOf(HANDLE handle, std::wstring& out) {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = ::GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                                         FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) return LastError();
        if (length < buffer.size()) {
            out.assign(buffer.data(), length);
            return 0;
        }
        buffer.resize(length);  // the size it needs, with the NUL
    }
}

uint32_t ComponentName(const std::string& utf8Name, std::wstring& out) {
    if (utf8Name.empty() || utf8Name == "." || utf8Name == ".." ||
        utf8Name.find_first_of(std::string("\\/:\0", 4)) != std::string::npos) {
        return win32::kInvalidName;
    }
    const int size = static_cast<int>(utf8Name.size());
    const int length = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8Name.data(), size, nullptr, 0);
    if (length <= 0) return win32::kInvalidName;
    out.assign(static_cast<size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8Name.data(), size, out.data(), length);
    return 0;
}

uint32_t OpenBelow(int folderFd, const std::string& name, DWORD access, DWORD share, DWORD disposition,
                   DWORD flags, UniqueHandle& out) {
    std::wstring wideName;
    std::wstring path;
    if (const uint32_t err = ComponentName(name, wideName)) return err;
    if (const uint32_t err = FinalPathOf(HandleOf(folderFd), path)) return err;
    if (path.back() != L'\\') path += L'\\';
    path += wideName;
    UniqueHandle handle(::CreateFileW(path.c_str(), access, share, nullptr, disposition,
                                      flags | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle) return LastError();
    std::wstring opened;
    uint32_t err = FinalPathOf(handle.get(), opened);
    if (err == 0 && !OrdinalEqualIgnoreCase(opened, path)) err = win32::kAccessDenied;
    if (err != 0) {
        // Made in whatever the folder's old place holds now: taken back.
        if (disposition == CREATE_NEW) DeleteThroughHandle(handle.get());
        return err;
    }
    out = std::move(handle);
    return 0;
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
