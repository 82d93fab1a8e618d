#include "tests/support/program_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <utility>

#include "platform/unique_fd.h"

extern char** environ;

namespace zuvelo::test {

namespace {

using platform::UniqueFd;

struct PipeEnds {
    UniqueFd read;
    UniqueFd write;
};

PipeEnds MakePipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

std::vector<std::string> MergedEnvironment(const std::map<std::string, std::string>& overrides) {
    std::vector<std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        if (overrides.count(text.substr(0, text.find('='))) == 0) merged.push_back(text);
    }
    for (const auto& [name, value] : overrides) merged.push_back(name + "=" + value);
    return merged;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Closes each descriptor when its writer has closed its end.
void ReadUntilClosed(UniqueFd& outFd, UniqueFd& errFd, std::string& out, std::string& err) {
    while (outFd || errFd) {
        pollfd fds[2] = {{outFd.get(), POLLIN, 0}, {errFd.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("poll failed");
        }
        UniqueFd* owners[2] = {&outFd, &errFd};
        std::string* sinks[2] = {&out, &err};
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) sinks[i]->append(buffer, static_cast<size_t>(got));
            else if (got == 0 || errno != EINTR) owners[i]->reset();
        }
    }
}

// A pipe that holds input and then ends; its read end is the one to keep.
UniqueFd InputHolding(const std::string& input) {
    PipeEnds ends = MakePipe();
    ::fcntl(ends.write.get(), F_SETFL, O_NONBLOCK);  // a text too long fails here instead of hanging
    if (!input.empty() && ::write(ends.write.get(), input.data(), input.size()) != static_cast<ssize_t>(input.size())) {
        throw std::runtime_error("the input does not fit in a pipe");
    }
    return std::move(ends.read);
}

int WaitForExit(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) throw std::runtime_error("waitpid failed");
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

// Starts the program with the actions and attributes; throws when it cannot.
pid_t Spawn(const std::string& program, const std::vector<std::string>& arguments,
            const std::map<std::string, std::string>& environment, const posix_spawn_file_actions_t* actions,
            const posix_spawnattr_t* attributes) {
    std::vector<std::string> argvTexts{program};
    argvTexts.insert(argvTexts.end(), arguments.begin(), arguments.end());
    std::vector<std::string> envTexts = MergedEnvironment(environment);
    std::vector<char*> argv = Pointers(argvTexts);
    std::vector<char*> envp = Pointers(envTexts);
    pid_t pid = -1;
    if (::posix_spawn(&pid, program.c_str(), actions, attributes, argv.data(), envp.data()) != 0) {
        throw std::runtime_error("cannot start " + program);
    }
    return pid;
}

// What the terminal showed until the program and its children closed it, "\r\n" as "\n".
std::string ReadTerminal(int master) {
    std::string shown;
    char buffer[4096];
    for (ssize_t got; (got = ::read(master, buffer, sizeof buffer)) != 0;) {
        if (got > 0) shown.append(buffer, static_cast<size_t>(got));
        else if (errno != EINTR) break;  // EIO once nobody holds the terminal
    }
    for (size_t at; (at = shown.find("\r\n")) != std::string::npos;) shown.erase(at, 1);
    return shown;
}

}  // namespace

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::map<std::string, std::string>& environment,
                         const std::function<void(pid_t)>& started, const std::string& input) {
    PipeEnds out = MakePipe();
    PipeEnds err = MakePipe();
    UniqueFd in = InputHolding(input);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in.get(), 0);
    posix_spawn_file_actions_adddup2(&actions, out.write.get(), 1);
    posix_spawn_file_actions_adddup2(&actions, err.write.get(), 2);
    const pid_t pid = Spawn(program, arguments, environment, &actions, nullptr);
    posix_spawn_file_actions_destroy(&actions);
    in.reset();
    out.write.reset();
    err.write.reset();
    if (started) started(pid);

    ProgramResult result;
    ReadUntilClosed(out.read, err.read, result.out, result.err);
    result.exitCode = WaitForExit(pid);
    return result;
}

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
    const pid_t pid = Spawn(program, arguments, environment, &actions, &attributes);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    terminal.reset();

    termios settings{};
    ::tcgetattr(master.get(), &settings);
    const std::string input = typed + static_cast<char>(settings.c_cc[VEOF]);
    if (::write(master.get(), input.data(), input.size()) != static_cast<ssize_t>(input.size())) {
        throw std::runtime_error("cannot type into the terminal");
    }
    ProgramResult result;
    result.out = ReadTerminal(master.get());
    result.exitCode = WaitForExit(pid);
    return result;
}

std::filesystem::path WorldRunnableCopy(const std::filesystem::path& program, const std::filesystem::path& folder) {
    namespace fs = std::filesystem;
    const fs::perms runnable = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec;
    fs::permissions(folder, runnable);
    const fs::path copy = folder / program.filename();
    fs::copy_file(program, copy);
    fs::permissions(copy, runnable);
    return copy;
}

}  // namespace zuvelo::test
