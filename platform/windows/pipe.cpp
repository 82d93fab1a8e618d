#include "platform/pipe.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string_view>
#include <thread>

#include "platform/compare_string.h"
#include "platform/win32_error.h"
#include "platform/windows/win32_handle.h"

namespace zuvelo::platform {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
constexpr milliseconds kMissingPause{200};
constexpr milliseconds kBusyWait{2000};
constexpr uint32_t kTooManyOpenFiles = 4;
constexpr size_t kMaxPipeNameChars = 256;  // the system's limit for a whole pipe name

// The name as Windows takes it (GetFullPathNameW: either separator, "." and ".."
// folded) when that is a pipe of this machine, \\.\pipe\ and a name, which may hold
// backslashes of its own; nothing for a file, another machine's pipe or a name that
// folds out of the pipe namespace.
std::optional<std::wstring> LocalPipeName(const std::wstring& name) {
    constexpr std::wstring_view kPrefix = L"\\\\.\\pipe\\";
    if (name.empty() || name.find(L'\0') != std::wstring::npos) return std::nullopt;
    const DWORD size = ::GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
    if (size == 0) return std::nullopt;
    std::wstring full(size, L'\0');
    const DWORD length = ::GetFullPathNameW(name.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size) return std::nullopt;
    full.resize(length);
    if (full.size() <= kPrefix.size() || !OrdinalEqualIgnoreCase(full.substr(0, kPrefix.size()), kPrefix)) {
        return std::nullopt;
    }
    return full;
}

// What is left of the time-out, for a wait that must not pass it (at least 1 ms:
// 0 would ask for the pipe's default wait).
DWORD WaitMs(Clock::time_point deadline, milliseconds most) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    return static_cast<DWORD>(std::clamp(left, milliseconds(1), most).count());
}

}  // namespace

bool PipeConnection::Connect(const std::wstring& name, uint32_t timeoutMs, uint32_t* win32Error) {
    auto fail = [&](uint32_t code) {
        fd_.reset();
        if (win32Error) *win32Error = code;
        return false;
    };
    fd_.reset();
    const std::optional<std::wstring> local = LocalPipeName(name);
    // Such a pipe can never be offered: no reason to wait for it.
    if (local && local->size() > kMaxPipeNameChars) return fail(win32::kInvalidName);
    const auto deadline = Clock::now() + milliseconds(timeoutMs);
    while (true) {
        uint32_t error = win32::kFileNotFound;
        if (local) {
            windows::UniqueHandle pipe(::CreateFileW(local->c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                                     FILE_FLAG_WRITE_THROUGH, nullptr));
            if (pipe) {
                fd_.reset(windows::DescriptorFromHandle(std::move(pipe)));
                return fd_ ? true : fail(kTooManyOpenFiles);
            }
            error = windows::LastError();
        }
        if (error == win32::kPipeBusy) {
            // Another writer holds the only instance: wait for the launcher to offer one.
            if (!::WaitNamedPipeW(local->c_str(), WaitMs(deadline, kBusyWait))) {
                if (const uint32_t waitError = windows::LastError(); waitError != win32::kSemTimeout) {
                    return fail(waitError);
                }
            }
        } else if (error == win32::kFileNotFound) {
            std::this_thread::sleep_for(milliseconds(WaitMs(deadline, kMissingPause)));
        } else {
            return fail(error);
        }
        if (Clock::now() > deadline) return fail(error);
    }
}

uint32_t PipeConnection::Write(std::string_view text) {
    if (!fd_) return win32::kInvalidHandle;
    const DWORD size = static_cast<DWORD>(std::min<size_t>(text.size(), MAXDWORD));
    DWORD written = 0;
    if (!::WriteFile(windows::HandleOf(fd_.get()), text.data(), size, &written, nullptr)) return windows::LastError();
    return written == text.size() ? win32::kSuccess : win32::kWriteFault;
}

}  // namespace zuvelo::platform
