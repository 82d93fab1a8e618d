#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// Programs that stand in for installers and commands: a shell script on Linux, on
// Windows a copy of the tests' console program carrying what it does after its image.
namespace zuvelo::test {

// What a fake program does when run, in this order.
struct FakeProgram {
    std::filesystem::path argumentsFile{};  // receives its arguments, space-separated, as one line
    // Receives "<number> <what it leads to>", one a line, for each descriptor above 2
    // it was started with, other than the ones holding its own file. Linux only.
    std::filesystem::path descriptorsFile{};
    // Its own file can no longer be deleted: replaced by a folder with a file in it on
    // Linux, made read-only on Windows (where the file that runs cannot be replaced).
    bool undeletable = false;
    std::filesystem::path pidsFile{};     // receives its process id, then its child's, one a line
    bool sleepingChild = false;           // starts a child that sleeps a minute holding its output open
    std::string output{};                 // written to standard output
    bool sleep = false;                   // sleeps a minute before it exits
    // Each run to its end (program path first, then its arguments), in order.
    std::vector<std::vector<std::string>> commands{};
    uint32_t exitCode = 0;
};

// How a program file is named here: ".exe" on Windows, nothing on Linux.
#ifdef _WIN32
inline constexpr const char* kProgramSuffix = ".exe";
#else
inline constexpr const char* kProgramSuffix = "";
#endif

// Writes the fake program as path, runnable (missing parent folders are made).
void WriteFakeProgram(const std::filesystem::path& path, const FakeProgram& program);

// PATH with folder searched first.
std::string SearchPathWith(const std::filesystem::path& folder);

// Whether the process has ended (Linux: gone, or a zombie waiting for its reaper).
bool ProcessEnded(uint32_t pid);

}  // namespace zuvelo::test
