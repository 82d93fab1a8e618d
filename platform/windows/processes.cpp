#include "platform/processes.h"

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <optional>

#include "platform/utf8.h"
#include "platform/win32_error.h"
#include "platform/windows/win32_handle.h"

namespace zuvelo::platform {

namespace {

using windows::LastError;
using windows::UniqueHandle;

// Room for a long path; QueryFullProcessImageNameW says when it needs more.
constexpr DWORD kImagePathCapacity = 32768;

std::optional<std::wstring> ImagePathOf(HANDLE process) {
    std::wstring path(kImagePathCapacity, L'\0');
    DWORD size = kImagePathCapacity;
    if (!::QueryFullProcessImageNameW(process, 0, path.data(), &size)) return std::nullopt;
    path.resize(size);
    return path;
}

// The identity of the image file a process runs: its volume and file index.
std::optional<ProcessImage> ImageOf(const std::wstring& imagePath) {
    const UniqueHandle file(::CreateFileW(imagePath.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file || !::GetFileInformationByHandle(file.get(), &info)) return std::nullopt;
    return ProcessImage{info.dwVolumeSerialNumber, (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

bool IsElevated(HANDLE process) {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(process, TOKEN_QUERY, &token)) return false;
    const UniqueHandle held(token);
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    return ::GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
           elevation.TokenIsElevated != 0;
}

// A process that may not be opened is still listed by its name, its image unknown.
RunningProcess DescribeProcess(const PROCESSENTRY32W& entry) {
    RunningProcess described{entry.th32ProcessID, Utf8FromWide(entry.szExeFile), {}, {}, false, false};
    const UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
    if (!process) return described;
    const std::optional<std::wstring> path = ImagePathOf(process.get());
    const std::optional<ProcessImage> image = path ? ImageOf(*path) : std::nullopt;
    if (!image) return described;
    described.imagePath = Utf8FromWide(*path);
    described.image = *image;
    described.elevated = IsElevated(process.get());
    described.imageKnown = true;
    return described;
}

// The visible top-level windows of one process.
struct WindowSearch {
    DWORD pid = 0;
    std::vector<HWND> windows;
};

BOOL CALLBACK CollectWindowOf(HWND window, LPARAM context) {
    auto& search = *reinterpret_cast<WindowSearch*>(context);
    DWORD owner = 0;
    ::GetWindowThreadProcessId(window, &owner);
    if (owner != search.pid || !::IsWindowVisible(window)) return TRUE;
    try {
        search.windows.push_back(window);
        return TRUE;
    } catch (...) {  // nothing may leave a system callback
        return FALSE;
    }
}

DWORD Milliseconds(std::chrono::milliseconds timeout) {
    return static_cast<DWORD>(std::clamp<int64_t>(timeout.count(), 0, INFINITE - 1));
}

}  // namespace

uint32_t ListProcesses(std::vector<RunningProcess>& out) {
    out.clear();
    const UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return LastError();
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry)) {
        out.push_back(DescribeProcess(entry));
    }
    return ::GetLastError() == ERROR_NO_MORE_FILES ? 0 : LastError();
}

struct ProcessHandle::State {
    UniqueHandle process;
};

void ProcessHandle::StateDeleter::operator()(State* state) const noexcept { delete state; }

uint32_t ProcessHandle::Open(const RunningProcess& process, ProcessHandle& out) {
    // ERROR_INVALID_PARAMETER (87) when no process has the id any more.
    HANDLE opened = ::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                  process.pid);
    if (!opened) return LastError();
    ProcessHandle handle;
    handle.state_.reset(new State{UniqueHandle(opened)});
    handle.pid_ = process.pid;
    handle.image_ = process.image;
    if (handle.HasEnded()) return win32::kInvalidParameter;
    // The id may have been given to another process between the snapshot and the open.
    const std::optional<std::wstring> path = ImagePathOf(opened);
    const std::optional<ProcessImage> image = path ? ImageOf(*path) : std::nullopt;
    if (!process.imageKnown || !image) return win32::kAccessDenied;
    if (*image != process.image) return win32::kInvalidParameter;
    out = std::move(handle);
    return 0;
}

bool ProcessHandle::valid() const { return state_ != nullptr; }

bool ProcessHandle::HasEnded() const { return ::WaitForSingleObject(state_->process.get(), 0) == WAIT_OBJECT_0; }

// The handle held keeps the id from being reused, so the windows found by it are this process's.
uint32_t ProcessHandle::RequestClose() const {
    if (!state_) return win32::kInvalidHandle;
    if (HasEnded()) return win32::kInvalidParameter;
    WindowSearch search{pid_, {}};
    ::EnumWindows(CollectWindowOf, reinterpret_cast<LPARAM>(&search));
    for (const HWND window : search.windows) ::PostMessageW(window, WM_CLOSE, 0, 0);
    return 0;
}

uint32_t ProcessHandle::Terminate() const {
    if (!state_) return win32::kInvalidHandle;
    if (HasEnded()) return win32::kInvalidParameter;
    if (::TerminateProcess(state_->process.get(), 1)) return 0;
    const uint32_t err = LastError();
    return HasEnded() ? win32::kInvalidParameter : err;  // it ended meanwhile
}

uint32_t ProcessHandle::WaitForExit(std::chrono::milliseconds timeout) const {
    if (!state_) return win32::kInvalidHandle;
    switch (::WaitForSingleObject(state_->process.get(), Milliseconds(timeout))) {
        case WAIT_OBJECT_0: return 0;
        case WAIT_TIMEOUT: return win32::kWaitTimeout;
        default: return LastError();
    }
}

}  // namespace zuvelo::platform
