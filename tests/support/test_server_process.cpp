#include "tests/support/test_server_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "platform/unique_fd.h"

extern char** environ;

namespace zuvelo::test {

namespace {

constexpr int kStartTimeoutMs = 10000;

std::string ValueAfter(const std::string& text, const std::string& key) {
    auto start = text.find(key);
    if (start == std::string::npos) return {};
    start += key.size();
    return text.substr(start, text.find('\n', start) - start);
}

}  // namespace

TestServerProcess::TestServerProcess(const std::filesystem::path& program, const std::filesystem::path& root,
                                     const std::vector<std::string>& moreArguments) {
    std::vector<std::string> arguments{program.string(), "--root", root.string()};
    arguments.insert(arguments.end(), moreArguments.begin(), moreArguments.end());
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    platform::UniqueFd readEnd(ends[0]);
    platform::UniqueFd writeEnd(ends[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
    int failed = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) throw std::runtime_error("cannot start " + program.string());
    writeEnd.reset();
    try {
        ReadAnnouncement(readEnd.get());
    } catch (...) {
        End();
        throw;
    }
}

TestServerProcess::~TestServerProcess() { End(); }

std::string TestServerProcess::Url(std::string_view target) const {
    std::string scheme = caFile_.empty() ? "http" : "https";
    return scheme + "://127.0.0.1:" + std::to_string(port_) + std::string(target);
}

void TestServerProcess::ReadAnnouncement(int fd) {
    std::string text;
    while (text.find("ca_file=") == std::string::npos || text.back() != '\n') {
        pollfd poller{fd, POLLIN, 0};
        char buffer[512];
        ssize_t got = ::poll(&poller, 1, kStartTimeoutMs) > 0 ? ::read(fd, buffer, sizeof buffer) : -1;
        if (got <= 0) throw std::runtime_error("test server did not start: " + text);
        text.append(buffer, static_cast<size_t>(got));
    }
    port_ = static_cast<uint16_t>(std::stoul(ValueAfter(text, "port=")));
    caFile_ = ValueAfter(text, "ca_file=");
}

void TestServerProcess::End() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

}  // namespace zuvelo::test
