#include "uninstall/uninstall_options.h"

#include <iostream>
#include <string_view>

#include "common/text.h"
#include "resources/version.h"

namespace zuvelo {

namespace {

constexpr std::string_view kUsage =
    "Usage: ZuveloUninstall.exe [OPTIONS]\n\n"
    "Options:\n"
    "  --force              Skip confirmation prompt\n"
    "  --purge              Remove user data (%LOCALAPPDATA%\\Zuvelo)\n"
    "  --keep-logs          Preserve uninstall logs\n"
    "  --quiet              Suppress console output\n"
    "  --verbose            Enable verbose logging\n"
    "  --progress-pipe <n>  Named pipe for progress reporting\n"
    "  --install-path <p>   Override installation path\n"
    "  --help               Show this help message\n"
    "  --version            Show version information\n\n"
    "Exit Codes:\n"
    "  0    Success\n"
    "  1    Invalid arguments\n"
    "  2    Insufficient privileges\n"
    "  10   Installation not found\n"
    "  140+ File operation failures\n"
    "  160+ Registry operation failures\n"
    "  200+ Process termination failures\n";

void PrintUsage() { std::cout << UninstallerBanner() << "\n\n" << kUsage << std::flush; }

// The compiler's build date and time ("Sep 21 2026", "10:59:29").
void PrintVersion() {
    std::cout << UninstallerBanner() << "\n" << "Built: " << __DATE__ << " " << __TIME__ << "\n" << std::flush;
}

// The value after an option, or the error line when there is none.
bool TakeValue(int argc, wchar_t* argv[], int& i, std::wstring& value, const char* missing) {
    if (i + 1 >= argc) {
        std::cerr << missing << std::flush;
        return false;
    }
    value = argv[++i];
    return true;
}

}  // namespace

std::string UninstallerBanner() { return std::string("Zuvelo Uninstaller v") + version::kVersion; }

bool ParseUninstallOptions(int argc, wchar_t* argv[], UninstallOptions& options, bool& continueRun) {
    continueRun = true;
    for (int i = 1; i < argc; ++i) {
        const std::wstring_view argument = argv[i];
        if (argument == L"--force") {
            options.force = true;
        } else if (argument == L"--purge") {
            options.purge = true;
        } else if (argument == L"--keep-logs") {
            options.keepLogs = true;
        } else if (argument == L"--quiet") {
            options.quiet = true;
        } else if (argument == L"--verbose") {
            options.verbose = true;
        } else if (argument == L"--help" || argument == L"--version") {
            argument == L"--help" ? PrintUsage() : PrintVersion();
            continueRun = false;
            return true;
        } else if (argument == L"--progress-pipe") {
            if (!TakeValue(argc, argv, i, options.progressPipe, "Error: --progress-pipe requires a pipe name\n"))
                return false;
        } else if (argument == L"--install-path") {
            if (!TakeValue(argc, argv, i, options.installPath, "Error: --install-path requires a path\n"))
                return false;
        } else {
            std::cerr << "Error: Unknown option: " << WideToUtf8Lossy(std::wstring(argument)) << "\n"
                      << "Use --help for usage information\n"
                      << std::flush;
            return false;
        }
    }
    return true;
}

}  // namespace zuvelo
