#pragma once

#include <iostream>
#include <string>
#include <vector>

#include "common/error_codes.h"
#include "install/install_receipt.h"
#include "uninstall/process_manager.h"
#include "uninstall/uninstall_log.h"
#include "uninstall/uninstall_options.h"
#include "uninstall/uninstall_stats.h"

// One uninstall: find the installation, confirm, end the product's processes,
// remove shortcuts, files and the uninstall entry, and log what was done.
namespace zuvelo {

// What detection found.
struct DetectedInstallation {
    bool found = false;
    bool receiptFound = false;
    bool registryFound = false;  // the uninstall entry names this installation folder
    std::wstring registeredLocation;  // the entry's "InstallLocation" as detection read it
    InstallReceipt receipt;
    std::wstring installPath;
    std::wstring version;
    std::vector<std::wstring> itemsToRemove;  // the lines the prompt shows
};

class UninstallManager {
public:
    // processes ends the product's processes; the prompt reads in, and the
    // prompt and the console messages go to out.
    explicit UninstallManager(ProcessManager processes = ProcessManager(), std::istream& in = std::cin,
                              std::ostream& out = std::cout);

    // The whole run: 0 after a complete run (stats.success set) or a declined one
    // (stats.success false); 141 when there is no installation; else the code of
    // the installation folder's removal. File-system errors of existence tests and
    // of the log folder's creation throw.
    ErrorCode Run(const UninstallOptions& options, UninstallStats& stats);

    // Fills detected; a folder that holds something counts as an installation only
    // with evidence of the product in it. Always 0.
    ErrorCode DetectInstallation(const UninstallOptions& options, DetectedInstallation& detected);
    // confirmed: --force, or the person answered y or Y (end of input is no). Always 0.
    ErrorCode ConfirmUninstall(const DetectedInstallation& detected, const UninstallOptions& options, bool& confirmed);
    // Ends the product's processes; counts those ended.
    ErrorCode TerminateProcesses(UninstallStats& stats);
    // Deletes every product shortcut; counts those deleted.
    ErrorCode RemoveShortcuts(const DetectedInstallation& detected, UninstallStats& stats);
    // Deletes the uninstall entry when it names this installation and still
    // holds the location detection read.
    ErrorCode RemoveRegistryEntries(const DetectedInstallation& detected, UninstallStats& stats);
    // Removes the installation folder, its evidence (receipt, launcher, launcher
    // folder) last, and, with --purge, the data folders (this run's log stays);
    // counts files and folders removed.
    ErrorCode RemoveFiles(const DetectedInstallation& detected, const UninstallOptions& options, UninstallStats& stats);

    // Creates this run's log file once: 0, or 149 when it cannot be created.
    ErrorCode InitializeFileLog();
    // Appends the summary when the log is open. Always 0.
    ErrorCode SaveUninstallLog(const DetectedInstallation& detected, const UninstallStats& stats);
    // The log file created (empty until then).
    const std::wstring& LogFilePath() const { return log_.Path(); }

private:
    void PrintPrompt(const DetectedInstallation& detected);
    ErrorCode FinishRun(const DetectedInstallation& detected, UninstallStats& stats);

    ProcessManager processes_;
    std::istream& in_;
    std::ostream& out_;
    UninstallLog log_;
};

}  // namespace zuvelo
