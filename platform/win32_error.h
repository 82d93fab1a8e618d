#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <system_error>

// System errors keep their Windows numbers inside the programs: result mapping,
// messages and events are defined on them. This is the one errno table.
namespace zuvelo::platform {

namespace win32 {
inline constexpr uint32_t kSuccess = 0;
inline constexpr uint32_t kFileNotFound = 2;
inline constexpr uint32_t kPathNotFound = 3;
inline constexpr uint32_t kAccessDenied = 5;
inline constexpr uint32_t kInvalidHandle = 6;
inline constexpr uint32_t kNotEnoughMemory = 8;
inline constexpr uint32_t kInvalidData = 13;
inline constexpr uint32_t kOutOfMemory = 14;
inline constexpr uint32_t kWriteProtect = 19;
inline constexpr uint32_t kWriteFault = 29;
inline constexpr uint32_t kReadFault = 30;
inline constexpr uint32_t kGenFailure = 31;
inline constexpr uint32_t kSharingViolation = 32;
inline constexpr uint32_t kNotSupported = 50;
inline constexpr uint32_t kInvalidParameter = 87;
inline constexpr uint32_t kDiskFull = 112;
inline constexpr uint32_t kSemTimeout = 121;
inline constexpr uint32_t kInvalidName = 123;
inline constexpr uint32_t kDirNotEmpty = 145;
inline constexpr uint32_t kAlreadyExists = 183;
inline constexpr uint32_t kBadExeFormat = 193;
inline constexpr uint32_t kFilenameTooLong = 206;
inline constexpr uint32_t kBadDb = 1009;
inline constexpr uint32_t kKeyDeleted = 1018;
inline constexpr uint32_t kResourceTypeNotFound = 1813;
inline constexpr uint32_t kPipeBusy = 231;
inline constexpr uint32_t kNoData = 232;
inline constexpr uint32_t kWaitTimeout = 258;
inline constexpr uint32_t kDirectoryNameInvalid = 267;  // ERROR_DIRECTORY: something else than a folder is there
inline constexpr uint32_t kConnectionReset = 10054;

// A file or a folder on the way is not there: what the programs treat as "missing".
inline constexpr bool IsNotFound(uint32_t code) { return code == kFileNotFound || code == kPathNotFound; }
}  // namespace win32

// Windows number of an errno value (0 stays 0).
uint32_t Win32ErrorFromErrno(int err);

// Windows number of the calling thread's current errno.
uint32_t LastWin32Error();

// Windows number of an error the C++ library reported (std::filesystem, std::system_error):
// an errno value, or on Windows a system-category Windows number kept as it is.
uint32_t Win32ErrorFromErrorCode(const std::error_code& error);

// The error the C++ library would report for a Windows number (for a filesystem_error): on
// Windows the number itself in the system category; on Linux the errno it stands for (EIO
// for a number no errno maps to).
std::error_code ErrorCodeFromWin32(uint32_t code);

// English text of a Windows number the programs can meet; nothing for others.
std::optional<std::wstring> SystemErrorText(uint32_t code);

}  // namespace zuvelo::platform
