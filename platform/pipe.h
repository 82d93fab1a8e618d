#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/unique_fd.h"

// The writing end of the launcher's progress pipe. On Windows it is the named pipe
// \\.\pipe\NAME itself. On Linux it is a Unix stream socket: \\.\pipe\NAME is the
// socket <machine root>/pipe/NAME; an absolute path is the socket path itself.
namespace zuvelo::platform {

class PipeConnection {
public:
    // Connects, retrying while the pipe is missing or busy (Linux: the socket is
    // missing or refuses) until timeoutMs has passed. A name with no socket form
    // (Windows: a name that, as Windows reads it, is no pipe \\.\pipe\NAME of this
    // machine; NAME may hold backslashes) counts as missing, so nothing but a pipe
    // is ever opened. Other errors, and on Linux a name too long for a
    // socket address, fail at once. Never locks and never logs. On failure,
    // *win32Error (if given) holds the cause.
    bool Connect(const std::wstring& name, uint32_t timeoutMs, uint32_t* win32Error = nullptr);

    // Writes the whole text in one call; returns 0, the Win32 number of the
    // failure (232 when the reader has gone), or 29 when fewer bytes were written.
    // Never raises SIGPIPE.
    uint32_t Write(std::string_view text);

    bool IsOpen() const { return fd_.valid(); }
    void Close() { fd_.reset(); }

private:
    UniqueFd fd_;
};

}  // namespace zuvelo::platform
