#include "tests/support/pipe_listener.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace zuvelo::test {

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

std::vector<std::string> PipeListener::Lines() {
    std::lock_guard lock(mutex_);
    return lines_;
}

bool PipeListener::WaitUntilDone(int timeoutMs) {
    std::unique_lock lock(mutex_);
    return done_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return finished_; });
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
        std::lock_guard lock(mutex_);
        for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
            lines_.push_back(pending.substr(0, end));
            pending.erase(0, end + 1);
            if (closeAfter_ && lines_.size() >= *closeAfter_) open = false;
        }
    }
    if (connection >= 0) ::close(connection);
    std::lock_guard lock(mutex_);
    finished_ = true;
    done_.notify_all();
}

}  // namespace zuvelo::test
