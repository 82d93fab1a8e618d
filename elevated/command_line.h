#pragma once

#include <cstdint>
#include <string>

namespace zuvelo {

enum class HelperCommand : int32_t {
    None = 0,
    InstallPrereqs = 1,
    ApplyManifest = 2,
    WriteUninstall = 3,
    CreateShortcuts = 4,
    ReleaseSession = 5,
    Remove = 6,
    ExecutePlan = 7,
};

// An empty string means the option was not given (an empty argument counts as missing).
struct CommandLineOptions {
    HelperCommand command = HelperCommand::None;
    std::wstring cdnUrl;
    std::wstring manifestUrl;
    std::wstring targetPath;
    std::wstring version;
    std::wstring sessionRoot;
    std::wstring filesManifest;
    std::wstring progressPipe;
    std::wstring planFile;
    bool purge = false;
    bool verbose = false;
    bool help = false;
};

// 0 when accepted; 1 after one line on standard error. argv[0] is the program path.
int ParseCommandLine(int argc, wchar_t* argv[], CommandLineOptions& out);

// The fixed help text on standard output.
void PrintUsage(const wchar_t* programPath);

}  // namespace zuvelo
