#include "platform/pipe.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
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

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// \\.\pipe\NAME with either separator: a pipe of this machine, never a file or
// another machine's pipe.
bool IsLocalPipeName(std::wstring_view name) {
    constexpr size_t kPrefix = 9;
    if (name.size() <= kPrefix || !IsSeparator(name[0]) || !IsSeparator(name[1]) || name[2] != L'.' ||
        !IsSeparator(name[3]) || !OrdinalEqualIgnoreCase(name.substr(4, 4), L"pipe") || !IsSeparator(name[8])) {
        return false;
    }
    const std::wstring_view leaf = name.substr(kPrefix);
    return leaf != L"." && leaf != L".." && std::none_of(leaf.begin(), leaf.end(), IsSeparator);
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
    const bool local = IsLocalPipeName(name);
    const auto deadline = Clock::now() + milliseconds(timeoutMs);
    while (true) {
        uint32_t error = win32::kFileNotFound;
        if (local) {
            windows::UniqueHandle pipe(::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                                     FILE_FLAG_WRITE_THROUGH, nullptr));
            if (pipe) {
                fd_.reset(windows::DescriptorFromHandle(std::move(pipe)));
                return fd_ ? true : fail(kTooManyOpenFiles);
            }
            error = windows::LastError();
        }
        if (error == win32::kPipeBusy) {
            // Another writer holds the only instance: wait for the launcher to offer one.
            if (!::WaitNamedPipeW(name.c_str(), WaitMs(deadline, kBusyWait))) {
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
