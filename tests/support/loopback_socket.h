#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zuvelo::test {

// A TCP socket on 127.0.0.1, the same on both systems (Winsock on Windows): the
// test server's control connection, and ports that refuse connections.
class LoopbackSocket {
public:
    static constexpr std::chrono::milliseconds kNoTimeLimit{-1};

    LoopbackSocket() = default;
    ~LoopbackSocket();
    LoopbackSocket(LoopbackSocket&& other) noexcept;
    LoopbackSocket& operator=(LoopbackSocket&& other) noexcept;
    LoopbackSocket(const LoopbackSocket&) = delete;
    LoopbackSocket& operator=(const LoopbackSocket&) = delete;

    // Bound to a free port and listening; throws std::runtime_error.
    static LoopbackSocket Listen();
    // Bound to a free port but not listening: connections to it are refused while it lives.
    static LoopbackSocket BindOnly();
    // Connected to the port; throws std::runtime_error.
    static LoopbackSocket Connect(uint16_t port);

    // The next connection; an empty socket when none comes in time.
    LoopbackSocket Accept(std::chrono::milliseconds timeout);
    uint16_t Port() const;
    bool Valid() const;
    bool SendAll(std::string_view bytes);
    // The next line without its line feed; nothing at the end of the stream, on a
    // failure or when no whole line arrives in time.
    std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);

private:
    explicit LoopbackSocket(std::intptr_t handle) : handle_(handle) {}
    void Close();

    std::intptr_t handle_ = -1;
    std::string pending_;  // received after the last line handed out
};

}  // namespace zuvelo::test
