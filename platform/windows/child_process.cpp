#include "platform/child_process.h"

#include <windows.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "platform/utf8.h"
#include "platform/win32_error.h"
#include "platform/windows/win32_paths.h"
#include "platform/windows/win32_handle.h"

namespace zuvelo::platform {

namespace {

using windows::LastError;
using windows::UniqueHandle;

constexpr size_t kOutputChunk = 4095;
constexpr DWORD kOutputPollMilliseconds = 10;
constexpr UINT kKilledExitCode = 1;

// Whole milliseconds left until the deadline (rounded up), 0 once it has passed.
DWORD MillisecondsUntil(Deadline deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<DWORD>(std::clamp<int64_t>(left.count(), 0, INFINITE - 1));
}

// The wide form of text a caller gave; 1113 (no Unicode translation) for invalid UTF-8.
uint32_t WideOf(const std::string& text, std::wstring& out) {
    std::optional<std::wstring> wide = WideFromUtf8(text);
    if (!wide) return ERROR_NO_UNICODE_TRANSLATION;
    out = std::move(*wide);
    return 0;
}

// One argument as the C runtime splits a command line: quoted when it holds white
// space or a quote, with the backslashes before a quote (or the closing quote) doubled.
void AppendQuoted(std::wstring& commandLine, const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        commandLine += argument;
        return;
    }
    commandLine += L'"';
    size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        commandLine.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        commandLine += c;
    }
    commandLine.append(2 * backslashes, L'\\');
    commandLine += L'"';
}

// The program's path comes first, always quoted; the runtime reads it up to the next quote.
uint32_t CommandLineOf(const std::vector<std::string>& arguments, std::wstring& out) {
    out.clear();
    for (size_t i = 0; i < arguments.size(); ++i) {
        std::wstring argument;
        if (const uint32_t err = WideOf(arguments[i], argument)) return err;
        if (argument.find(L'\0') != std::wstring::npos) return win32::kInvalidParameter;
        if (i == 0) {
            if (argument.find(L'"') != std::wstring::npos) return win32::kInvalidParameter;
            out += L'"' + argument + L'"';
        } else {
            out += L' ';
            AppendQuoted(out, argument);
        }
    }
    return 0;
}

UniqueHandle InheritableNul() {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return UniqueHandle(::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                      OPEN_EXISTING, 0, nullptr));
}

// The handles a child gets as its standard streams, and no other handle of this process.
class InheritedStreams {
public:
    InheritedStreams() = default;
    InheritedStreams(const InheritedStreams&) = delete;  // the attribute list points into the object
    InheritedStreams& operator=(const InheritedStreams&) = delete;
    ~InheritedStreams() {
        if (list_) ::DeleteProcThreadAttributeList(list_);
    }

    uint32_t Prepare(HANDLE input, HANDLE output) {
        handles_[0] = input;
        handles_[1] = output;
        const size_t count = input == output ? 1 : 2;
        SIZE_T size = 0;
        ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        storage_.resize(size);
        list_ = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
        if (!::InitializeProcThreadAttributeList(list_, 1, 0, &size)) {
            list_ = nullptr;
            return LastError();
        }
        if (!::UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_,
                                         count * sizeof(HANDLE), nullptr, nullptr)) {
            return LastError();
        }
        info_.StartupInfo.cb = sizeof info_;
        info_.StartupInfo.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
        info_.StartupInfo.wShowWindow = SW_HIDE;
        info_.StartupInfo.hStdInput = input;
        info_.StartupInfo.hStdOutput = output;
        info_.StartupInfo.hStdError = output;
        info_.lpAttributeList = list_;
        return 0;
    }

    STARTUPINFOW* StartupInfo() { return &info_.StartupInfo; }

private:
    HANDLE handles_[2] = {};
    std::vector<unsigned char> storage_;
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
    STARTUPINFOEXW info_{};
};

// Starts the child suspended, puts it into a job of its own and lets it run. A job
// cannot be had where this process's own job forbids it: the child then runs alone.
uint32_t Launch(const std::wstring& application, std::wstring commandLine, InheritedStreams& streams,
                UniqueHandle& process, UniqueHandle& job) {
    UniqueHandle newJob(::CreateJobObjectW(nullptr, nullptr));
    if (!newJob.valid()) return LastError();
    PROCESS_INFORMATION started{};
    if (!::CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                          CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr, streams.StartupInfo(),
                          &started)) {
        return LastError();
    }
    UniqueHandle child(started.hProcess);
    const UniqueHandle thread(started.hThread);
    if (!::AssignProcessToJobObject(newJob.get(), child.get())) newJob.reset();
    if (::ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
        const uint32_t err = LastError();
        ::TerminateProcess(child.get(), kKilledExitCode);
        return err;
    }
    process = std::move(child);
    job = std::move(newJob);
    return 0;
}

// The volume and index of an open file.
bool SameFile(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION first{};
    BY_HANDLE_FILE_INFORMATION second{};
    return ::GetFileInformationByHandle(a, &first) && ::GetFileInformationByHandle(b, &second) &&
           first.dwVolumeSerialNumber == second.dwVolumeSerialNumber && first.nFileIndexHigh == second.nFileIndexHigh &&
           first.nFileIndexLow == second.nFileIndexLow;
}

// The final path of the file open as fd, and the file opened again by that path with only
// reading shared: while it is held nobody can write, rename or delete it.
uint32_t PinExecutable(int fd, std::wstring& path, UniqueHandle& pinned) {
    const HANDLE file = windows::HandleOf(fd);
    if (const uint32_t err = windows::FinalPathOf(file, path)) return err;
    pinned.reset(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!pinned.valid()) return LastError();
    return SameFile(file, pinned.get()) ? 0 : win32::kAccessDenied;
}

// The path an installer is started by is the one it sees as its own: the plain drive form
// where that names the same file, the "\\?\" form only where the plain one could not.
std::wstring ApplicationPath(const std::wstring& finalPath) {
    constexpr std::wstring_view kPrefix = L"\\\\?\\";
    if (!finalPath.starts_with(kPrefix) || finalPath.size() - kPrefix.size() >= MAX_PATH) return finalPath;
    const std::wstring plain = finalPath.substr(kPrefix.size());
    if (plain.size() < 3 || plain[1] != L':' || plain[2] != L'\\') return finalPath;  // UNC and volume forms
    // A name ending in a dot or a space is trimmed by the plain form's normalisation.
    for (size_t i = 3; i <= plain.size(); ++i) {
        const bool endOfName = i == plain.size() || plain[i] == L'\\';
        if (endOfName && (plain[i - 1] == L'.' || plain[i - 1] == L' ')) return finalPath;
    }
    return plain;
}

uint32_t SystemShell(std::wstring& out) {
    wchar_t folder[MAX_PATH];
    const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return LastError();
    out = std::wstring(folder, length) + L"\\cmd.exe";
    return 0;
}

}  // namespace

struct ChildProcess::State {
    UniqueHandle process;
    UniqueHandle job;  // the child and every process it starts; empty where none could be had
};

void ChildProcess::StateDeleter::operator()(State* state) const noexcept { delete state; }

uint32_t ChildProcess::StartExecutable(int executableFd, const std::vector<std::string>& arguments, ChildProcess& out) {
    std::wstring commandLine;
    if (const uint32_t err = CommandLineOf(arguments, commandLine)) return err;
    std::wstring path;
    UniqueHandle pinned;
    if (const uint32_t err = PinExecutable(executableFd, path, pinned)) return err;
    const UniqueHandle nul = InheritableNul();
    if (!nul.valid()) return LastError();
    InheritedStreams streams;
    if (const uint32_t err = streams.Prepare(nul.get(), nul.get())) return err;
    auto state = std::make_unique<State>();
    if (const uint32_t err = Launch(ApplicationPath(path), commandLine, streams, state->process, state->job)) {
        return err;
    }
    out = ChildProcess();
    out.state_.reset(state.release());
    return 0;
}

uint32_t ChildProcess::StartShellCommand(const std::string& command, ChildProcess& out) {
    std::wstring shell;
    std::wstring text;
    if (const uint32_t err = SystemShell(shell)) return err;
    if (const uint32_t err = WideOf(command, text)) return err;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return LastError();
    UniqueHandle reader(readEnd);
    const UniqueHandle writer(writeEnd);
    if (!::SetHandleInformation(reader.get(), HANDLE_FLAG_INHERIT, 0)) return LastError();
    const UniqueHandle nul = InheritableNul();
    if (!nul.valid()) return LastError();
    InheritedStreams streams;
    if (const uint32_t err = streams.Prepare(nul.get(), writer.get())) return err;
    auto state = std::make_unique<State>();
    if (const uint32_t err = Launch(shell, L"cmd.exe /c " + text, streams, state->process, state->job)) {
        return err;
    }
    ChildProcess child;
    child.state_.reset(state.release());
    child.output_.reset(windows::DescriptorFromHandle(std::move(reader)));
    if (!child.output_) return win32::kNotEnoughMemory;  // the child is killed with the object
    out = std::move(child);
    return 0;
}

uint32_t ChildProcess::ReadOutput(Deadline deadline, std::string& output) {
    char chunk[kOutputChunk];
    while (output_) {
        const HANDLE pipe = windows::HandleOf(output_.get());
        DWORD available = 0;
        // An anonymous pipe has no waitable reads: it is looked into until the deadline.
        if (!::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) {
            output_.reset();  // every writer has closed its end
            break;
        }
        if (available == 0) {
            if (MillisecondsUntil(deadline) == 0) return win32::kWaitTimeout;
            ::Sleep(kOutputPollMilliseconds);
            continue;
        }
        DWORD count = 0;
        if (!::ReadFile(pipe, chunk, std::min<DWORD>(available, sizeof chunk), &count, nullptr) || count == 0) {
            output_.reset();
            break;
        }
        // Text ends at a NUL, as the chunk's text.
        output.append(chunk, ::strnlen(chunk, count));
    }
    return 0;
}

uint32_t ChildProcess::Wait(Deadline deadline, uint32_t& exitCode) {
    if (!state_) return win32::kInvalidHandle;
    const HANDLE process = state_->process.get();
    const DWORD waited = ::WaitForSingleObject(process, MillisecondsUntil(deadline));
    if (waited == WAIT_TIMEOUT) return win32::kWaitTimeout;
    if (waited != WAIT_OBJECT_0) return LastError();
    DWORD code = 0;
    if (!::GetExitCodeProcess(process, &code)) return LastError();
    exitCode = code;
    // What the child left running keeps running, as after a finished installer.
    state_.reset();
    return 0;
}

void ChildProcess::KillGroup() noexcept {
    output_.reset();
    if (!state_) return;
    if (state_->job) ::TerminateJobObject(state_->job.get(), kKilledExitCode);
    // The child itself too, should it run outside a job.
    ::TerminateProcess(state_->process.get(), kKilledExitCode);
    ::WaitForSingleObject(state_->process.get(), INFINITE);
    state_.reset();
}

}  // namespace zuvelo::platform
