#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <json/value.h>

namespace zuvelo::test {

struct ProgramResult {
    int exitCode = -1;  // 128 + signal number when the program was killed
    std::string out;
    std::string err;
};

// Runs a program to its end with this process's environment plus the given
// variables (which win), standard input a pipe that holds `input` and then ends,
// and captures both output streams (on Windows read as text: "\r\n" as "\n").
// `input` is written before the program starts, so it must fit in a pipe's buffer.
// The program's argv[0] is its path.
// started, when given, receives the program's process id as soon as it runs.
ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::map<std::string, std::string>& environment = {},
                         const std::function<void(pid_t)>& started = {}, const std::string& input = {});

// RunProgram with a new pseudo-terminal as standard input, output and error
// (Windows: a console of this process's own): types `typed` and then end of input
// into it, and returns in `out` all the terminal showed, "\r\n" as "\n" (Windows:
// the rows of the console's screen buffer, read back as text once the program ended).
ProgramResult RunInTerminal(const std::string& program, const std::vector<std::string>& arguments,
                            const std::map<std::string, std::string>& environment, const std::string& typed);

// A copy of the program in folder that an unprivileged user may run (the folder
// is opened to everyone for that).
std::filesystem::path WorldRunnableCopy(const std::filesystem::path& program, const std::filesystem::path& folder);

#ifdef _WIN32
// program then arguments as one command line, each quoted as the C runtime splits it.
std::wstring WindowsCommandLine(const std::string& program, const std::vector<std::string>& arguments);
#endif

// One JSON value per non-empty line; throws on a line that is not JSON.
std::vector<Json::Value> ParseJsonLines(const std::string& text);
std::vector<Json::Value> ParseJsonLines(const std::vector<std::string>& lines);

}  // namespace zuvelo::test
