#include "platform/regular_file.h"

#include <windows.h>

#include "platform/windows/win32_handle.h"
#include "platform/windows/win32_paths.h"

namespace zuvelo::platform {

ReadFileResult ReadRegularFile(const std::filesystem::path& path, std::string& bytes) {
    bytes.clear();
    std::wstring extended;
    if (windows::ExtendedLengthPath(path, extended) != 0) return ReadFileResult::OpenFailed;
    // Without backup semantics a folder does not open; a pipe or a device is refused by its type.
    windows::UniqueHandle file(::CreateFileW(extended.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                             nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file || ::GetFileType(file.get()) != FILE_TYPE_DISK) return ReadFileResult::OpenFailed;
    char buffer[64 * 1024];
    for (;;) {
        DWORD count = 0;
        if (!::ReadFile(file.get(), buffer, sizeof buffer, &count, nullptr)) return ReadFileResult::ReadFailed;
        if (count == 0) return ReadFileResult::Ok;
        bytes.append(buffer, count);
    }
}

}  // namespace zuvelo::platform
