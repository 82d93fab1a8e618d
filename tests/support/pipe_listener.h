#pragma once

#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace zuvelo::test {

// Plays the launcher's side of the progress pipe: it accepts one connection and
// collects the lines it receives. With closeAfter set, it closes the connection
// after that many lines. On Linux it listens on the Unix socket socketPath; on
// Windows it serves the named pipe \\.\pipe\ and the socket path's file name
// (named pipes are machine-wide: tests running at the same time need names of
// their own, such as their machine root's folder name).
class PipeListener {
public:
    explicit PipeListener(std::filesystem::path socketPath, std::optional<size_t> closeAfter = std::nullopt);
    ~PipeListener();
    PipeListener(const PipeListener&) = delete;
    PipeListener& operator=(const PipeListener&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // The name a writer connects with: \\.\pipe\ and the socket path's file name
    // (on Linux the socket path must then be <machine root>/pipe/NAME).
    std::wstring pipeName() const;

    // Lines received so far (without their line feeds).
    std::vector<std::string> Lines();
    // Waits until the writer closed its end, the listener closed, or timeoutMs passed.
    bool WaitUntilDone(int timeoutMs);

private:
    void Serve();
    // Moves the whole lines out of pending; false once closeAfter lines have come.
    bool TakeLines(std::string& pending);
    void Finish();

    std::filesystem::path path_;
    std::optional<size_t> closeAfter_;
#ifdef _WIN32
    void* pipe_ = nullptr;  // HANDLE of the pipe's one instance
    void* stop_ = nullptr;  // HANDLE of the event that ends Serve
#else
    int listenFd_ = -1;
    int stopPipe_[2] = {-1, -1};
#endif
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
    std::vector<std::string> lines_;
};

}  // namespace zuvelo::test
