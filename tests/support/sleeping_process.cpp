#include "tests/support/sleeping_process.h"

#ifdef _WIN32
#include <windows.h>
#include <sddl.h>
#else
#include <spawn.h>
#include <sys/wait.h>
#endif

#include <cerrno>
#include <chrono>
#include <csignal>
#include <stdexcept>
#include <thread>

#ifndef _WIN32
extern char** environ;
#endif

namespace zuvelo::test {

namespace fs = std::filesystem;

#ifdef _WIN32

namespace {

constexpr DWORD kStartTimeoutMilliseconds = 60000;  // a loaded machine under Wine is slow to start one

fs::path SleeperProgram() {
    wchar_t self[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) throw std::runtime_error("cannot find the test program");
    return fs::path(std::wstring(self, length)).parent_path() / "zuvelo_sleeper.exe";
}

// Whether the process shows a visible top-level window yet.
bool HasVisibleWindow(DWORD pid) {
    struct Search {
        DWORD pid;
        bool found = false;
    } search{pid};
    ::EnumWindows(
        [](HWND window, LPARAM context) -> BOOL {
            auto* wanted = reinterpret_cast<Search*>(context);
            DWORD owner = 0;
            ::GetWindowThreadProcessId(window, &owner);
            wanted->found = owner == wanted->pid && ::IsWindowVisible(window);
            return !wanted->found;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// An access list that grants nothing: only the handle CreateProcessW returns opens the process.
struct GuardedProcessAttributes {
    GuardedProcessAttributes() {
        if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P", SDDL_REVISION_1, &descriptor, nullptr)) {
            throw std::runtime_error("cannot make the sleeper's access list");
        }
        attributes.lpSecurityDescriptor = descriptor;
    }
    ~GuardedProcessAttributes() { ::LocalFree(descriptor); }
    GuardedProcessAttributes(const GuardedProcessAttributes&) = delete;
    GuardedProcessAttributes& operator=(const GuardedProcessAttributes&) = delete;

    PSECURITY_DESCRIPTOR descriptor = nullptr;
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
};

}  // namespace

SleepingProcess::SleepingProcess(const fs::path& folder, const std::string& name, bool ignoreTerm, bool guarded) {
    const fs::path image = folder / name;
    fs::copy_file(SleeperProgram(), image, fs::copy_options::overwrite_existing);
    std::wstring commandLine = L"\"" + image.wstring() + L"\"" + (ignoreTerm ? L"" : L" window");
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    GuardedProcessAttributes guard;
    if (!::CreateProcessW(image.c_str(), commandLine.data(), guarded ? &guard.attributes : nullptr, nullptr, FALSE, 0,
                          nullptr, nullptr, &startup, &started)) {
        throw std::runtime_error("cannot start the sleeper");
    }
    ::CloseHandle(started.hThread);
    process_ = started.hProcess;
    pid_ = static_cast<pid_t>(started.dwProcessId);
    if (ignoreTerm) return;
    if (const std::string failure = AwaitWindow(); !failure.empty()) {
        Kill();
        Reap();
        ::CloseHandle(process_);
        throw std::runtime_error(failure);
    }
}

// A console program is never "input idle": wait until its window shows. A sleeper that
// could not make one has ended at once, and so does the test, with that reason.
std::string SleepingProcess::AwaitWindow() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMilliseconds);
    while (!HasVisibleWindow(static_cast<DWORD>(pid_))) {
        if (const int ended = Reap(false); ended >= 0) {
            return "the sleeper could not show its window (exit code " + std::to_string(ended) +
                   "): the Wine prefix has no display driver";
        }
        if (std::chrono::steady_clock::now() >= deadline) return "the sleeper's window did not show in time";
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return {};
}

SleepingProcess::~SleepingProcess() {
    if (Reap(false) < 0) {
        Kill();
        Reap();
    }
    ::CloseHandle(process_);
}

void SleepingProcess::Kill() { ::TerminateProcess(process_, 1); }

int SleepingProcess::Reap(bool wait) {
    if (ended_ >= 0 || ::WaitForSingleObject(process_, wait ? INFINITE : 0) != WAIT_OBJECT_0) return ended_;
    DWORD code = 0;
    if (::GetExitCodeProcess(process_, &code)) ended_ = static_cast<int>(code);
    return ended_;
}

#else

SleepingProcess::SleepingProcess(const fs::path& folder, const std::string& name, bool ignoreTerm, bool guarded) {
    if (guarded) throw std::logic_error("root opens every process: a guarded sleeper needs Windows");
    const fs::path image = folder / name;
    fs::copy_file("/bin/sleep", image, fs::copy_options::overwrite_existing);
    fs::permissions(image, fs::perms::owner_all);
    // A shell that ignores SIGTERM passes that on to the image it becomes.
    std::string texts[] = {"/bin/sh", "-c", ignoreTerm ? "trap '' TERM; exec \"$0\" 60" : "exec \"$0\" 60", image};
    char* argv[] = {texts[0].data(), texts[1].data(), texts[2].data(), texts[3].data(), nullptr};
    if (::posix_spawn(&pid_, argv[0], nullptr, nullptr, argv, environ) != 0) throw std::runtime_error("cannot start sleep");
    for (int i = 0; i < 500; ++i) {
        std::error_code ec;
        if (fs::read_symlink("/proc/" + std::to_string(pid_) + "/exe", ec) == image) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    throw std::runtime_error("the copy of sleep did not start");
}

SleepingProcess::~SleepingProcess() {
    if (Reap(false) >= 0) return;
    Kill();
    Reap();
}

void SleepingProcess::Kill() { ::kill(pid_, SIGKILL); }

int SleepingProcess::Reap(bool wait) {
    int status = 0;
    pid_t done = 0;
    while (ended_ < 0 && (done = ::waitpid(pid_, &status, wait ? 0 : WNOHANG)) < 0 && errno == EINTR) {
    }
    if (ended_ < 0 && done == pid_) ended_ = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return ended_;
}

#endif

}  // namespace zuvelo::test
