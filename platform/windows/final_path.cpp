#include "platform/windows/final_path.h"

#include <utility>

#include "platform/windows/win32_handle.h"

namespace zuvelo::platform::windows {

uint32_t FinalPathOf(HANDLE handle, std::wstring& out) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()), VOLUME_NAME_DOS);
        if (length == 0) return LastError();
        if (length < path.size()) {
            path.resize(length);
            out = std::move(path);
            return 0;
        }
        path.resize(length);  // the size needed, with its NUL
    }
}

}  // namespace zuvelo::platform::windows
