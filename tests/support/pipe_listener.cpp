#include "tests/support/pipe_listener.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include <chrono>
#include <stdexcept>

namespace zuvelo::test {

std::wstring PipeListener::pipeName() const { return L"\\\\.\\pipe\\" + path_.filename().wstring(); }

std::vector<std::string> PipeListener::Lines() {
    std::lock_guard lock(mutex_);
    return lines_;
}

bool PipeListener::WaitUntilDone(int timeoutMs) {
    std::unique_lock lock(mutex_);
    return done_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return finished_; });
}

bool PipeListener::TakeLines(std::string& pending) {
    std::lock_guard lock(mutex_);
    bool open = true;
    for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
        lines_.push_back(pending.substr(0, end));
        pending.erase(0, end + 1);
        if (closeAfter_ && lines_.size() >= *closeAfter_) open = false;
    }
    return open;
}

void PipeListener::Finish() {
    std::lock_guard lock(mutex_);
    finished_ = true;
    done_.notify_all();
}

#ifdef _WIN32

namespace {

// Waits for the overlapped call to end or for stop; a stopped call is cancelled.
// True with the bytes moved when the call succeeded.
bool Complete(HANDLE pipe, OVERLAPPED& io, HANDLE stop, DWORD& bytes) {
    const HANDLE events[] = {io.hEvent, stop};
    if (::WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
        ::CancelIoEx(pipe, &io);
        ::GetOverlappedResult(pipe, &io, &bytes, TRUE);
        return false;
    }
    return ::GetOverlappedResult(pipe, &io, &bytes, FALSE) != FALSE;
}

}  // namespace

PipeListener::PipeListener(std::filesystem::path socketPath, std::optional<size_t> closeAfter)
    : path_(std::move(socketPath)), closeAfter_(closeAfter) {
    // The first instance only: a name another listener holds fails here, not in the writer.
    pipe_ = ::CreateNamedPipeW(pipeName().c_str(),
                               PIPE_ACCESS_INBOUND | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED,
                               PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 4096,
                               4096, 0, nullptr);
    stop_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (pipe_ == INVALID_HANDLE_VALUE || !stop_) {
        if (pipe_ != INVALID_HANDLE_VALUE) ::CloseHandle(pipe_);
        if (stop_) ::CloseHandle(stop_);
        throw std::runtime_error("cannot serve the pipe for " + path_.string());
    }
    thread_ = std::thread([this] { Serve(); });
}

PipeListener::~PipeListener() {
    ::SetEvent(stop_);
    thread_.join();
    ::CloseHandle(stop_);
}

void PipeListener::Serve() {
    OVERLAPPED io{};
    io.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD bytes = 0;
    bool open = io.hEvent != nullptr;
    if (open && !::ConnectNamedPipe(pipe_, &io)) {
        const DWORD error = ::GetLastError();
        // ERROR_NO_DATA: the writer came and went before this call; what it wrote is still there to read.
        open = error == ERROR_PIPE_CONNECTED || error == ERROR_NO_DATA ||
               (error == ERROR_IO_PENDING && Complete(pipe_, io, stop_, bytes));
    }
    std::string pending;
    while (open) {
        char buffer[4096];
        ::ResetEvent(io.hEvent);
        if (!::ReadFile(pipe_, buffer, sizeof(buffer), nullptr, &io) && ::GetLastError() != ERROR_IO_PENDING) break;
        if (!Complete(pipe_, io, stop_, bytes) || bytes == 0) break;
        pending.append(buffer, bytes);
        open = TakeLines(pending);
    }
    // Closed, not disconnected: a writer still writing then gets ERROR_NO_DATA, as from a launcher gone.
    ::CloseHandle(pipe_);
    if (io.hEvent) ::CloseHandle(io.hEvent);
    Finish();
}

#else

PipeListener::PipeListener(std::filesystem::path socketPath, std::optional<size_t> closeAfter)
    : path_(std::move(socketPath)), closeAfter_(closeAfter) {
    std::filesystem::create_directories(path_.parent_path());
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.native().size() >= sizeof(address.sun_path)) throw std::runtime_error("socket path too long");
    path_.native().copy(address.sun_path, path_.native().size());
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(listenFd_, 4) != 0 || ::pipe(stopPipe_) != 0) {
        throw std::runtime_error("cannot listen on " + path_.string());
    }
    thread_ = std::thread([this] { Serve(); });
}

PipeListener::~PipeListener() {
    if (::write(stopPipe_[1], "x", 1) < 0) {
        // The thread then ends when its connection ends.
    }
    thread_.join();
    ::close(listenFd_);
    ::close(stopPipe_[0]);
    ::close(stopPipe_[1]);
    std::error_code ec;
    std::filesystem::remove(path_, ec);
}

void PipeListener::Serve() {
    pollfd waitAccept[2] = {{listenFd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    int connection = -1;
    if (::poll(waitAccept, 2, -1) > 0 && (waitAccept[0].revents & POLLIN)) {
        connection = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    }
    std::string pending;
    bool open = connection >= 0;
    while (open) {
        pollfd waitData[2] = {{connection, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (::poll(waitData, 2, -1) <= 0 || (waitData[1].revents & POLLIN)) break;
        char buffer[4096];
        const ssize_t got = ::read(connection, buffer, sizeof(buffer));
        if (got <= 0) break;
        pending.append(buffer, static_cast<size_t>(got));
        open = TakeLines(pending);
    }
    if (connection >= 0) ::close(connection);
    Finish();
}

#endif

}  // namespace zuvelo::test
