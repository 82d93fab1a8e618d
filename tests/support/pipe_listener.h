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

// Plays the launcher's side of the progress pipe: a listening Unix socket that
// accepts one connection and collects the lines it receives. With closeAfter
// set, it closes the connection after that many lines.
class PipeListener {
public:
    explicit PipeListener(std::filesystem::path socketPath, std::optional<size_t> closeAfter = std::nullopt);
    ~PipeListener();
    PipeListener(const PipeListener&) = delete;
    PipeListener& operator=(const PipeListener&) = delete;

    const std::filesystem::path& path() const { return path_; }

    // Lines received so far (without their line feeds).
    std::vector<std::string> Lines();
    // Waits until the writer closed its end, the listener closed, or timeoutMs passed.
    bool WaitUntilDone(int timeoutMs);

private:
    void Serve();

    std::filesystem::path path_;
    std::optional<size_t> closeAfter_;
    int listenFd_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
    std::vector<std::string> lines_;
};

}  // namespace zuvelo::test
