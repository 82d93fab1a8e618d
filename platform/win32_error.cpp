#include "platform/win32_error.h"

#include <cerrno>
#include <system_error>
#ifdef _WIN32
#include <windows.h>
#endif

namespace zuvelo::platform {

uint32_t Win32ErrorFromErrno(int err) {
    switch (err) {
        case 0: return win32::kSuccess;
        case ENOENT: return win32::kFileNotFound;
        case ENOTDIR: return win32::kPathNotFound;
        case EACCES:
        case EPERM:
        case EISDIR: return win32::kAccessDenied;
        case EBADF: return win32::kInvalidHandle;
        case EROFS: return win32::kWriteProtect;
        case EBUSY:
#ifdef ETXTBSY
        case ETXTBSY:
#endif
            return win32::kSharingViolation;
        case ENOSPC:
#ifdef EDQUOT
        case EDQUOT:
#endif
            return win32::kDiskFull;
        case ENAMETOOLONG: return win32::kFilenameTooLong;
        case EINVAL: return win32::kInvalidParameter;
        case ENOTEMPTY: return win32::kDirNotEmpty;
        case EEXIST: return win32::kAlreadyExists;
        case ENOEXEC: return win32::kBadExeFormat;
        case EPIPE: return win32::kNoData;
        case ECONNRESET: return win32::kConnectionReset;
        default: return win32::kGenFailure;
    }
}

uint32_t LastWin32Error() { return Win32ErrorFromErrno(errno); }

uint32_t Win32ErrorFromErrorCode(const std::error_code& error) {
#ifdef _WIN32
    // The C++ library reports Windows failures in the system category with their own numbers.
    if (error.category() == std::system_category()) return static_cast<uint32_t>(error.value());
#endif
    return Win32ErrorFromErrno(error.value());
}

std::error_code ErrorCodeFromWin32(uint32_t code) {
#ifdef _WIN32
    return {static_cast<int>(code), std::system_category()};
#else
    // The errno values of the table above, each for the first number it maps to.
    static constexpr int kErrnos[] = {ENOENT, ENOTDIR, EACCES, EBADF, EROFS, EBUSY, ENOSPC, ENAMETOOLONG,
                                      EINVAL, ENOTEMPTY, EEXIST, ENOEXEC, EPIPE, ECONNRESET};
    if (code == 0) return {};
    for (const int err : kErrnos) {
        if (Win32ErrorFromErrno(err) == code) return {err, std::generic_category()};
    }
    return {EIO, std::generic_category()};
#endif
}

std::optional<std::wstring> SystemErrorText(uint32_t code) {
    struct Entry {
        uint32_t code;
        const wchar_t* text;
    };
    // The texts end in a line break, as the system's messages do.
    static constexpr Entry kTexts[] = {
        {0, L"The operation completed successfully.\r\n"},
        {2, L"The system cannot find the file specified.\r\n"},
        {3, L"The system cannot find the path specified.\r\n"},
        {5, L"Access is denied.\r\n"},
        {6, L"The handle is invalid.\r\n"},
        {8, L"Not enough memory resources are available to process this command.\r\n"},
        {14, L"Not enough memory resources are available to complete this operation.\r\n"},
        {19, L"The media is write protected.\r\n"},
        {29, L"The system cannot write to the specified device.\r\n"},
        {31, L"A device attached to the system is not functioning.\r\n"},
        {32, L"The process cannot access the file because it is being used by another process.\r\n"},
        {33, L"The process cannot access the file because another process has locked a portion of the file.\r\n"},
        {39, L"The disk is full.\r\n"},
        {87, L"The parameter is incorrect.\r\n"},
        {112, L"There is not enough space on the disk.\r\n"},
        {121, L"The semaphore timeout period has expired.\r\n"},
        {123, L"The filename, directory name, or volume label syntax is incorrect.\r\n"},
        {145, L"The directory is not empty.\r\n"},
        {161, L"The specified path is invalid.\r\n"},
        {183, L"Cannot create a file when that file already exists.\r\n"},
        {206, L"The filename or extension is too long.\r\n"},
        {231, L"All pipe instances are busy.\r\n"},
        {232, L"The pipe is being closed.\r\n"},
        {267, L"The directory name is invalid.\r\n"},
        {1009, L"The configuration registry database is corrupt.\r\n"},
        {1018, L"Illegal operation attempted on a registry key that has been marked for deletion.\r\n"},
        {10054, L"An existing connection was forcibly closed by the remote host.\r\n"},
        {12002, L"The operation timed out\r\n"},
        {12007, L"The server name or address could not be resolved\r\n"},
        {12029, L"A connection with the server could not be established\r\n"},
        {12030, L"The connection with the server was terminated abnormally\r\n"},
        {12031, L"The connection with the server was reset\r\n"},
        {12175, L"A security error occurred\r\n"},
    };
    for (const Entry& entry : kTexts) {
        if (entry.code == code) return std::wstring(entry.text);
    }
    return std::nullopt;
}

}  // namespace zuvelo::platform
