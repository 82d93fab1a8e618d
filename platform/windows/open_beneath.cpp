#include "platform/open_beneath.h"

#include <windows.h>

#include <string>
#include <vector>

#include "platform/handles.h"
#include "platform/win32_error.h"
#include "platform/windows/win32_handle.h"
#include "platform/windows/win32_paths.h"

namespace zuvelo::platform {

namespace {

using windows::HandleOf;
using windows::LastError;
using windows::UniqueHandle;

bool IsPlainComponent(const std::wstring& name) {
    return !name.empty() && name != L"." && name != L".." &&
           name.find_first_of(std::wstring(L"\\/:\0", 4)) == std::wstring::npos;
}

// The plain components of relative; false when one is not plain (a drive or a root too).
bool SplitPlain(const std::filesystem::path& relative, std::vector<std::wstring>& names) {
    for (const std::filesystem::path& part : relative) {
        if (part.empty()) continue;  // a trailing separator
        if (!IsPlainComponent(part.native())) return false;
        names.push_back(part.native());
    }
    return true;
}

uint32_t Held(UniqueHandle handle, UniqueFd& out, HandleInfo& info) {
    UniqueFd fd;
    if (const uint32_t err = windows::DescriptorOf(std::move(handle), fd)) return err;
    if (const uint32_t err = QueryHandleInfo(fd.get(), info)) return err;
    out = std::move(fd);
    return 0;
}

// One folder component below dirFd, held without following a reparse point.
uint32_t StepInto(int dirFd, const std::wstring& name, UniqueFd& out, bool& linkFound) {
    UniqueHandle handle;
    if (const uint32_t err = windows::OpenBelow(dirFd, name, windows::kPathAccess, handle)) return err;
    UniqueFd next;
    HandleInfo info;
    if (const uint32_t err = Held(std::move(handle), next, info)) return err;
    if (info.IsSymlink()) {
        linkFound = true;
        return win32::kAccessDenied;
    }
    if (!info.IsDirectory()) return win32::kPathNotFound;
    out = std::move(next);
    return 0;
}

// StepInto, making the folder first when it is missing (or made by someone else meanwhile).
uint32_t StepIntoOrCreate(int dirFd, const std::wstring& name, UniqueFd& out, bool& unsafe) {
    const uint32_t err = StepInto(dirFd, name, out, unsafe);
    if (err != win32::kFileNotFound) return err;
    const uint32_t made = windows::CreateFolderBelow(dirFd, name);
    if (made != 0 && made != win32::kAlreadyExists) return made;
    return StepInto(dirFd, name, out, unsafe);
}

// The last component opened for reading; a reparse point there is refused.
uint32_t OpenLast(int dirFd, const std::wstring& name, UniqueFd& out, bool& linkFound) {
    UniqueHandle handle;
    if (name.empty()) {  // the folder itself
        if (HandleOf(dirFd) == INVALID_HANDLE_VALUE) return win32::kInvalidHandle;
        handle.reset(::ReOpenFile(HandleOf(dirFd), GENERIC_READ, windows::kShareAll, windows::kOpenAsItself));
        if (!handle) return LastError();
    } else if (const uint32_t err = windows::OpenBelow(dirFd, name, GENERIC_READ, handle)) {
        return err;
    }
    UniqueFd file;
    HandleInfo info;
    if (const uint32_t err = Held(std::move(handle), file, info)) return err;
    if (info.IsSymlink()) {
        linkFound = true;
        return win32::kAccessDenied;
    }
    out = std::move(file);
    return 0;
}

}  // namespace

uint32_t PinFolder(const std::filesystem::path& folder, UniqueFd& out) {
    UniqueFd fd;
    if (const uint32_t err = OpenPathHandle(folder, fd)) return err;
    HandleInfo info;
    if (const uint32_t err = QueryHandleInfo(fd.get(), info)) return err;
    if (!info.IsDirectory()) return win32::kDirectoryNameInvalid;  // a file or a reparse point, not a missing path
    out = std::move(fd);
    return 0;
}

uint32_t OpenForReadingBeneath(int rootFd, const std::filesystem::path& relative, UniqueFd& out, bool& linkFound) {
    linkFound = false;
    std::vector<std::wstring> names;
    if (!SplitPlain(relative, names)) return win32::kInvalidName;
    if (names.empty()) return OpenLast(rootFd, L"", out, linkFound);

    UniqueFd held;
    int dirFd = rootFd;
    for (size_t i = 0; i + 1 < names.size(); ++i) {
        if (const uint32_t err = StepInto(dirFd, names[i], held, linkFound)) return err;
        dirFd = held.get();
    }
    return OpenLast(dirFd, names.back(), out, linkFound);
}

uint32_t OpenFolderBeneath(int rootFd, const std::filesystem::path& relative, bool createMissing, UniqueFd& out,
                           bool& unsafe) {
    unsafe = false;
    std::vector<std::wstring> names;
    if (!SplitPlain(relative, names)) return win32::kInvalidName;
    const HANDLE root = HandleOf(rootFd);
    if (root == INVALID_HANDLE_VALUE) return win32::kInvalidHandle;  // never the process's own pseudo handle
    HANDLE copy = INVALID_HANDLE_VALUE;
    const HANDLE process = ::GetCurrentProcess();
    if (!::DuplicateHandle(process, root, process, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        return LastError();
    }
    UniqueFd held;
    if (const uint32_t err = windows::DescriptorOf(UniqueHandle(copy), held)) return err;
    for (const std::wstring& name : names) {
        UniqueFd next;
        const uint32_t err = createMissing ? StepIntoOrCreate(held.get(), name, next, unsafe)
                                           : StepInto(held.get(), name, next, unsafe);
        if (err == win32::kPathNotFound) unsafe = true;  // a file where a folder must be
        if (unsafe) return win32::kAccessDenied;
        if (err != 0) return err;
        held = std::move(next);
    }
    out = std::move(held);
    return 0;
}

}  // namespace zuvelo::platform
