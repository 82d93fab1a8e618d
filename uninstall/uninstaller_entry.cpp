#include "uninstall/uninstaller_entry.h"

#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "common/command_arguments.h"
#include "common/jsonl_logger.h"
#include "platform/process_startup.h"
#include "uninstall/uninstall_manager.h"
#include "uninstall/uninstall_options.h"

namespace zuvelo {

namespace {

constexpr const char* kOperation = "uninstaller";

void PrintSummary(const UninstallStats& stats) {
    std::cout << "\nUninstall completed successfully!\n"
              << "  Processes terminated: " << stats.processesTerminated << "\n"
              << "  Shortcuts removed: " << stats.shortcutsRemoved << "\n"
              << "  Registry keys removed: " << stats.registryKeysRemoved << "\n"
              << "  Files removed: " << stats.filesRemoved << "\n"
              << "  Directories removed: " << stats.directoriesRemoved << "\n"
              << "  Duration: " << stats.durationMs << " ms\n"
              << std::flush;
}

int ReportOutcome(ErrorCode result, const UninstallStats& stats, bool quiet) {
    JsonlLogger& log = JsonlLogger::Instance();
    if (result != ErrorCode::Success) {
        log.LogError(result, kOperation, "Uninstall failed");
        log.LogCompletion(kOperation, false, "");
        if (!quiet) std::cerr << "\nUninstall failed with error code: " << ToInt(result) << "\n" << std::flush;
        return ToInt(result);
    }
    if (!stats.success) {  // declined: nothing was removed
        log.LogStatus(kOperation, "cancelled");
        log.LogCompletion(kOperation, false, "");
        return ToInt(ErrorCode::Success);
    }
    log.LogStatus(kOperation, "complete");
    log.LogCompletion(kOperation, true, "");
    if (!quiet) PrintSummary(stats);
    return ToInt(ErrorCode::Success);
}

void LogFatal(const std::string& message) noexcept {
    try {
        JsonlLogger::Instance().LogDiagnostic(LogLevel::Fatal, message, kOperation);
    } catch (...) {
    }
}

}  // namespace

int RunUninstaller(int argc, wchar_t* argv[]) {
    UninstallOptions options;
    bool continueRun = true;
    if (!ParseUninstallOptions(argc, argv, options, continueRun)) return ToInt(ErrorCode::InvalidArguments);
    if (!continueRun) return ToInt(ErrorCode::Success);
    if (!platform::IsProcessElevated()) {
        std::cerr << "Error: This program requires administrator privileges\n"
                  << "Please run as administrator\n"
                  << std::flush;
        return ToInt(ErrorCode::InsufficientPrivileges);
    }

    JsonlLogger::Instance().LogStatus(kOperation, "starting");
    JsonlLogger::Instance().LogDiagnostic(LogLevel::Info, UninstallerBanner() + " starting");
    if (!options.quiet) std::cout << UninstallerBanner() << "\n" << "Preparing to uninstall Zuvelo...\n\n" << std::flush;

    UninstallManager manager;
    UninstallStats stats;
    const ErrorCode result = manager.Run(options, stats);
    return ReportOutcome(result, stats, options.quiet);
}

int UninstallerMain(std::optional<std::vector<std::wstring>> arguments) {
    try {
        if (!arguments) {
            std::cerr << "Error: Invalid argument encoding\n" << std::flush;
            return ToInt(ErrorCode::InvalidArguments);
        }
        std::vector<wchar_t*> wideArgv = ArgumentPointers(*arguments);
        return RunUninstaller(static_cast<int>(arguments->size()), wideArgv.data());
    } catch (const std::exception& e) {
        LogFatal(std::string("Unhandled uninstaller exception: ") + e.what());
        std::cerr << "Fatal uninstaller error: " << e.what() << "\n" << std::flush;
    } catch (...) {
        LogFatal("Unhandled non-standard uninstaller exception");
    }
    return ToInt(ErrorCode::InternalError);
}

}  // namespace zuvelo
