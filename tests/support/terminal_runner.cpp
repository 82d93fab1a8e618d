#include "tests/support/terminal_runner.h"

#include <fcntl.h>
#include <pty.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "platform/unique_fd.h"

extern char** environ;

namespace zuvelo::test {

namespace {

using platform::UniqueFd;

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

std::vector<std::string> Environment(const std::map<std::string, std::string>& overrides) {
    std::vector<std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        if (overrides.count(text.substr(0, text.find('='))) == 0) merged.push_back(text);
    }
    for (const auto& [name, value] : overrides) merged.push_back(name + "=" + value);
    return merged;
}

// Everything the terminal shows until the last holder of its other end closes it.
std::string ReadUntilHungUp(int master) {
    std::string shown;
    char buffer[4096];
    while (true) {
        const ssize_t got = ::read(master, buffer, sizeof buffer);
        if (got > 0) shown.append(buffer, static_cast<size_t>(got));
        else if (got < 0 && errno == EINTR) continue;
        else break;  // EIO once the program and its children have closed the terminal
    }
    std::string text;
    for (size_t i = 0; i < shown.size(); ++i) {
        if (!(shown[i] == '\r' && i + 1 < shown.size() && shown[i + 1] == '\n')) text += shown[i];
    }
    return text;
}

}  // namespace

ProgramResult RunInTerminal(const std::string& program, const std::vector<std::string>& arguments,
                            const std::map<std::string, std::string>& environment, const std::string& typed) {
    int masterFd = -1;
    int terminalFd = -1;
    if (::openpty(&masterFd, &terminalFd, nullptr, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
    UniqueFd master(masterFd);
    UniqueFd terminal(terminalFd);
    ::fcntl(master.get(), F_SETFD, FD_CLOEXEC);
    ::fcntl(terminal.get(), F_SETFD, FD_CLOEXEC);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = 0; fd <= 2; ++fd) posix_spawn_file_actions_adddup2(&actions, terminal.get(), fd);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);

    std::vector<std::string> argvTexts{program};
    argvTexts.insert(argvTexts.end(), arguments.begin(), arguments.end());
    std::vector<std::string> envTexts = Environment(environment);
    std::vector<char*> argv = Pointers(argvTexts);
    std::vector<char*> envp = Pointers(envTexts);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) throw std::runtime_error("cannot start " + program);
    terminal.reset();

    termios settings{};
    ::tcgetattr(master.get(), &settings);
    const std::string input = typed + static_cast<char>(settings.c_cc[VEOF]);
    if (::write(master.get(), input.data(), input.size()) != static_cast<ssize_t>(input.size())) {
        throw std::runtime_error("cannot type into the terminal");
    }

    ProgramResult result;
    result.out = ReadUntilHungUp(master.get());
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) throw std::runtime_error("waitpid failed");
    }
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

}  // namespace zuvelo::test
