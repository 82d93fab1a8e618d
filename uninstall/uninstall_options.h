#pragma once

#include <string>

// The uninstaller's command line.
namespace zuvelo {

struct UninstallOptions {
    bool force = false;      // no confirmation prompt
    bool purge = false;      // also the product's data folders
    bool keepLogs = false;   // accepted, changes nothing
    bool quiet = false;      // no banner, summary or failure line
    bool verbose = false;    // accepted, changes nothing
    std::wstring progressPipe;  // accepted, never connected
    std::wstring installPath;   // overrides the detected installation folder
};

// Fills options from the arguments after the program name, left to right, each
// compared whole and case-sensitively. True when the command line is valid;
// continueRun is cleared after --help or --version have been printed (later
// arguments are not looked at). Errors are printed to standard error.
bool ParseUninstallOptions(int argc, wchar_t* argv[], UninstallOptions& options, bool& continueRun);

// "Zuvelo Uninstaller v<version>".
std::string UninstallerBanner();

}  // namespace zuvelo
