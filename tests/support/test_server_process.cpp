#include "tests/support/test_server_process.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#endif

#include <json/reader.h>
#include <json/writer.h>

#include <algorithm>
#include <cerrno>
#include <sstream>
#include <stdexcept>

#include "common/text.h"
#include "tests/support/program_runner.h"
#include "tests/support/test_folders.h"

#ifndef _WIN32
extern char** environ;
#endif

namespace zuvelo::test {

namespace fs = std::filesystem;

namespace {

constexpr std::chrono::milliseconds kStartTimeout{10000};
constexpr std::chrono::milliseconds kAnswerTimeout{10000};

#ifdef _WIN32
constexpr char kHost[] = "localhost";

// Wine's own exports: they map between its drives and Unix paths, and exist only under Wine.
template <typename Function>
Function WineExport(const char* name) {
    auto function = reinterpret_cast<Function>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), name)));
    if (!function) throw std::runtime_error("the Linux test server runs only under Wine");
    return function;
}

fs::path LocalPath(const std::string& unixPath) {
    wchar_t* dosPath = WineExport<wchar_t* (*)(const char*)>("wine_get_dos_file_name")(unixPath.c_str());
    if (!dosPath) throw std::runtime_error("no Windows path for " + unixPath);
    fs::path path(dosPath);
    ::HeapFree(::GetProcessHeap(), 0, dosPath);
    return path;
}

// One CA for every server of the process unless the caller names one: Wine's certificate
// check keeps the roots it read first, so a CA trusted later in the process stays unknown.
std::vector<std::string> WithProcessCa(std::vector<std::string> arguments) {
    static const TempFolder folder;
    if (std::find(arguments.begin(), arguments.end(), "--ca") == arguments.end())
        arguments.insert(arguments.end(), {"--ca", TestServerProcess::ProgramPath(folder.path())});
    return arguments;
}

long long StartProgram(const fs::path& program, const std::vector<std::string>& arguments) {
    const fs::path image = LocalPath(program.generic_string());
    // Wine undoes this quoting for a Unix program as CommandLineToArgvW would.
    std::wstring commandLine = WindowsCommandLine(Utf8FromPath(image), WithProcessCa(arguments));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!::CreateProcessW(image.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &started))
        throw std::runtime_error("cannot start " + program.generic_string());
    // Wine leaves the handles of a Unix program unset (whatever the stack held):
    // closing them could close one of ours.
    return -1;
}

void Reap(long long) {}
void Kill(long long) {}
#else
constexpr char kHost[] = "127.0.0.1";

fs::path LocalPath(const std::string& path) { return path; }

long long StartProgram(const fs::path& program, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), program.string());
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        throw std::runtime_error("cannot start " + program.string());
    return pid;
}

void Kill(long long child) { ::kill(static_cast<pid_t>(child), SIGKILL); }

void Reap(long long child) {
    int status = 0;
    while (::waitpid(static_cast<pid_t>(child), &status, 0) < 0 && errno == EINTR) {
    }
}
#endif

std::string OneLine(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, value);
}

Json::Value ParseAnswer(const std::string& line) {
    Json::Value answer;
    std::istringstream in(line);
    std::string errors;
    if (!Json::parseFromStream(Json::CharReaderBuilder(), in, &answer, &errors) || !answer.isObject())
        throw std::runtime_error("test server answered " + line);
    return answer;
}

}  // namespace

TestServerProcess::TestServerProcess(const fs::path& program, const fs::path& root,
                                     const std::vector<std::string>& moreArguments) {
    LoopbackSocket listener = LoopbackSocket::Listen();
    std::vector<std::string> arguments{"--root", ProgramPath(root), "--control", std::to_string(listener.Port())};
    arguments.insert(arguments.end(), moreArguments.begin(), moreArguments.end());
    child_ = StartProgram(program, arguments);
    try {
        control_ = listener.Accept(kStartTimeout);
        ReadAnnouncement();
    } catch (...) {
        // A program that never announced itself may not notice the connection's end.
        if (child_ > 0) Kill(child_);
        End();
        throw;
    }
}

TestServerProcess::~TestServerProcess() { End(); }

std::string TestServerProcess::Url(std::string_view target) const {
    std::string scheme = caFile_.empty() ? "http" : "https";
    return scheme + "://" + kHost + ":" + std::to_string(port_) + std::string(target);
}

Json::Value TestServerProcess::Command(const Json::Value& command) {
    if (!control_.SendAll(OneLine(command) + "\n")) throw std::runtime_error("test server control connection lost");
    const std::optional<std::string> line = control_.ReadLine(kAnswerTimeout);
    if (!line) throw std::runtime_error("test server did not answer " + OneLine(command));
    Json::Value answer = ParseAnswer(*line);
    if (!answer["ok"].asBool()) throw std::runtime_error("test server: " + answer["error"].asString());
    return answer;
}

std::string TestServerProcess::ProgramPath(const fs::path& path) {
#ifdef _WIN32
    char* unixPath = WineExport<char* (*)(const wchar_t*)>("wine_get_unix_file_name")(fs::absolute(path).c_str());
    if (!unixPath) throw std::runtime_error("no Unix path for " + path.string());
    std::string result(unixPath);
    ::HeapFree(::GetProcessHeap(), 0, unixPath);
    return result;
#else
    return path.string();
#endif
}

void TestServerProcess::ReadAnnouncement() {
    const std::optional<std::string> portLine = control_.ReadLine(kStartTimeout);
    const std::optional<std::string> caLine = control_.ReadLine(kStartTimeout);
    if (!portLine || !caLine || !portLine->starts_with("port=") || !caLine->starts_with("ca_file="))
        throw std::runtime_error("test server did not start");
    port_ = static_cast<uint16_t>(std::stoul(portLine->substr(5)));
    const std::string caFile = caLine->substr(8);
    if (!caFile.empty()) caFile_ = LocalPath(caFile);
}

// The program ends when its control connection does.
void TestServerProcess::End() {
    control_ = LoopbackSocket();
    if (child_ > 0) Reap(child_);
    child_ = -1;
}

}  // namespace zuvelo::test
