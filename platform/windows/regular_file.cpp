#include "platform/regular_file.h"

#include <windows.h>

#include "platform/windows/win32_handle.h"
#include "platform/windows/win32_paths.h"

namespace zuvelo::platform {

ReadFileResult ReadRegularFile(const std::filesystem::path& path, std::string& bytes, uint64_t maxBytes) {
    bytes.clear();
    std::wstring extended;
    if (windows::ExtendedLengthPath(path, extended) != 0) return ReadFileResult::OpenFailed;
    // Without backup semantics a folder does not open; a pipe or a device is refused by its type.
    windows::UniqueHandle file(::CreateFileW(extended.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                             nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file || ::GetFileType(file.get()) != FILE_TYPE_DISK) return ReadFileResult::OpenFailed;
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.get(), &size)) return ReadFileResult::ReadFailed;
    if (static_cast<uint64_t>(size.QuadPart) > maxBytes) return ReadFileResult::TooLarge;
    char buffer[64 * 1024];
    for (;;) {
        DWORD count = 0;
        if (!::ReadFile(file.get(), buffer, sizeof buffer, &count, nullptr)) {
            bytes.clear();
            return ReadFileResult::ReadFailed;
        }
        if (count == 0) return ReadFileResult::Ok;
        if (count > maxBytes - bytes.size()) {
            bytes.clear();
            return ReadFileResult::TooLarge;
        }
        bytes.append(buffer, count);
    }
}

}  // namespace zuvelo::platform
