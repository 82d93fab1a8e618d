#include "platform/open_beneath_steps.h"

#include <windows.h>

#include <string>

#include "platform/handles.h"
#include "platform/win32_error.h"
#include "platform/windows/win32_handle.h"
#include "platform/windows/win32_paths.h"

namespace zuvelo::platform::beneath {

using windows::HandleOf;
using windows::LastError;
using windows::UniqueHandle;

bool IsPlainComponent(const std::filesystem::path& name) {
    const std::wstring& text = name.native();
    return !text.empty() && text != L"." && text != L".." &&
           text.find_first_of(std::wstring(L"\\/:\0", 4)) == std::wstring::npos;
}

uint32_t DuplicateFolder(int fd, UniqueFd& out) {
    const HANDLE folder = HandleOf(fd);
    if (folder == INVALID_HANDLE_VALUE) return win32::kInvalidHandle;  // never the process's own pseudo handle
    HANDLE copy = INVALID_HANDLE_VALUE;
    const HANDLE process = ::GetCurrentProcess();
    if (!::DuplicateHandle(process, folder, process, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) return LastError();
    return windows::DescriptorOf(UniqueHandle(copy), out);
}

uint32_t OpenComponent(int dirFd, const std::filesystem::path& name, UniqueFd& out) {
    UniqueHandle handle;
    if (const uint32_t err = windows::OpenBelow(dirFd, name.native(), windows::kPathAccess, handle)) return err;
    return windows::DescriptorOf(std::move(handle), out);
}

uint32_t CreateFolderComponent(int dirFd, const std::filesystem::path& name) {
    return windows::CreateFolderBelow(dirFd, name.native());
}

uint32_t OpenComponentForReading(int dirFd, const std::filesystem::path& name, UniqueFd& out, bool& linkFound) {
    UniqueHandle handle;
    if (name.empty()) {  // the folder itself
        if (HandleOf(dirFd) == INVALID_HANDLE_VALUE) return win32::kInvalidHandle;
        handle.reset(::ReOpenFile(HandleOf(dirFd), GENERIC_READ, windows::kShareAll, windows::kOpenAsItself));
        if (!handle) return LastError();
    } else if (const uint32_t err = windows::OpenBelow(dirFd, name.native(), GENERIC_READ, handle)) {
        return err;
    }
    UniqueFd file;
    HandleInfo info;
    if (const uint32_t err = windows::DescriptorOf(std::move(handle), file)) return err;
    if (const uint32_t err = QueryHandleInfo(file.get(), info)) return err;
    if (info.IsSymlink()) {
        linkFound = true;
        return win32::kAccessDenied;
    }
    out = std::move(file);
    return 0;
}

}  // namespace zuvelo::platform::beneath
