#include "tests/support/loopback_socket.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <stdexcept>
#include <utility>

namespace zuvelo::test {

namespace {

#ifdef _WIN32
using Native = SOCKET;
int PollSockets(WSAPOLLFD* sockets, ULONG count, int timeoutMs) { return ::WSAPoll(sockets, count, timeoutMs); }
using PollEntry = WSAPOLLFD;
void CloseNative(Native socket) { ::closesocket(socket); }
constexpr int kSendFlags = 0;
constexpr int kSocketFlags = 0;
Native AcceptNative(Native listener) { return ::accept(listener, nullptr, nullptr); }

// Winsock starts once per process and stays up until it ends.
void StartSockets() {
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started) throw std::runtime_error("WSAStartup failed");
}
#else
using Native = int;
int PollSockets(pollfd* sockets, nfds_t count, int timeoutMs) { return ::poll(sockets, count, timeoutMs); }
using PollEntry = pollfd;
void CloseNative(Native socket) { ::close(socket); }
constexpr int kSendFlags = MSG_NOSIGNAL;
// Kept from child processes: a server started later must not hold another one's connection open.
constexpr int kSocketFlags = SOCK_CLOEXEC;
Native AcceptNative(Native listener) { return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC); }
void StartSockets() {}
#endif

Native NativeOf(std::intptr_t handle) { return static_cast<Native>(handle); }

sockaddr_in LoopbackAddress(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

std::intptr_t NewSocket() {
    StartSockets();
    const Native socket = ::socket(AF_INET, SOCK_STREAM | kSocketFlags, 0);
    if (socket == static_cast<Native>(-1)) throw std::runtime_error("socket failed");
    return static_cast<std::intptr_t>(socket);
}

// True once the socket can be read (or has ended), false when the time passed first.
bool WaitReadable(std::intptr_t handle, std::chrono::milliseconds timeout) {
    PollEntry entry{};
    entry.fd = NativeOf(handle);
    entry.events = POLLIN;
    return PollSockets(&entry, 1, static_cast<int>(timeout.count())) > 0;
}

}  // namespace

LoopbackSocket::~LoopbackSocket() { Close(); }

LoopbackSocket::LoopbackSocket(LoopbackSocket&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)), pending_(std::move(other.pending_)) {}

LoopbackSocket& LoopbackSocket::operator=(LoopbackSocket&& other) noexcept {
    if (this != &other) {
        Close();
        handle_ = std::exchange(other.handle_, -1);
        pending_ = std::move(other.pending_);
    }
    return *this;
}

void LoopbackSocket::Close() {
    if (handle_ != -1) CloseNative(NativeOf(std::exchange(handle_, -1)));
}

LoopbackSocket LoopbackSocket::BindOnly() {
    LoopbackSocket socket(NewSocket());
    const sockaddr_in address = LoopbackAddress(0);
    if (::bind(NativeOf(socket.handle_), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("bind failed");
    return socket;
}

LoopbackSocket LoopbackSocket::Listen() {
    LoopbackSocket socket = BindOnly();
    if (::listen(NativeOf(socket.handle_), 4) != 0) throw std::runtime_error("listen failed");
    return socket;
}

LoopbackSocket LoopbackSocket::Connect(uint16_t port) {
    LoopbackSocket socket(NewSocket());
    const sockaddr_in address = LoopbackAddress(port);
    if (::connect(NativeOf(socket.handle_), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("connect to port " + std::to_string(port) + " failed");
    return socket;
}

LoopbackSocket LoopbackSocket::Accept(std::chrono::milliseconds timeout) {
    if (!WaitReadable(handle_, timeout)) return LoopbackSocket();
    const Native accepted = AcceptNative(NativeOf(handle_));
    if (accepted == static_cast<Native>(-1)) return LoopbackSocket();
    return LoopbackSocket(static_cast<std::intptr_t>(accepted));
}

uint16_t LoopbackSocket::Port() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(NativeOf(handle_), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return ntohs(address.sin_port);
}

bool LoopbackSocket::Valid() const { return handle_ != -1; }

bool LoopbackSocket::SendAll(std::string_view bytes) {
    while (!bytes.empty()) {
        const int size = static_cast<int>(bytes.size());
        const int sent = static_cast<int>(::send(NativeOf(handle_), bytes.data(), size, kSendFlags));
        if (sent <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(sent));
    }
    return true;
}

std::optional<std::string> LoopbackSocket::ReadLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (timeout == kNoTimeLimit) left = kNoTimeLimit;
        else if (left.count() <= 0) return std::nullopt;
        if (!WaitReadable(handle_, left)) return std::nullopt;
        char buffer[4096];
        const int got = static_cast<int>(::recv(NativeOf(handle_), buffer, sizeof buffer, 0));
        if (got <= 0) return std::nullopt;
        pending_.append(buffer, static_cast<size_t>(got));
    }
}

}  // namespace zuvelo::test
