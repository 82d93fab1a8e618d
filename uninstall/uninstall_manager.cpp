#include "uninstall/uninstall_manager.h"

#include <cctype>
#include <chrono>
#include <exception>
#include <filesystem>
#include <utility>

#include "common/file_operations.h"
#include "common/jsonl_logger.h"
#include "common/link_aware.h"
#include "common/paths.h"
#include "common/text.h"
#include "common/update_lock.h"
#include "install/install_receipt.h"
#include "install/product_identity.h"
#include "install/registry_manager.h"
#include "install/shortcut_creator.h"
#include "platform/file_lock.h"
#include "platform/registry.h"
#include "platform/win32_error.h"
#include "uninstall/install_receipt_reader.h"
#include "uninstall/csidl_folders.h"

namespace zuvelo {

namespace {

namespace fs = std::filesystem;

constexpr const char* kComponent = "uninstall_manager";
// The folder inside the common data folder that holds the uninstall logs.
constexpr const char* kLogsFolderName = "Logs";

JsonlLogger& Events() { return JsonlLogger::Instance(); }
constexpr ComponentLogger kLog{kComponent};
std::string U8(const std::wstring& text) { return WideToUtf8Lossy(text); }
// Text from the receipt or the registry as the terminal shows it.
std::string Shown(const std::wstring& text) { return U8(ForTerminal(text)); }

// One step of the run as an INFO line of the event stream (never in the log file).
void ReportStep(const std::string& step, const std::string& status, const std::string& details = "") {
    std::string message = "Event: " + step + ", Status: " + status;
    if (!details.empty()) message += ", Details: " + details;
    Events().LogDiagnostic(LogLevel::Info, message);
}

// REG_SZ or REG_EXPAND_SZ text up to its first NUL, not expanded: 0; 182 when
// there is no such text value; 180 for a missing key or another failure.
ErrorCode ReadRegistryString(platform::Registry& registry, platform::RegistryKeyHandle key, const std::wstring& name,
                             std::wstring& out) {
    uint32_t type = 0;
    std::string data;
    const uint32_t err = registry.QueryValue(key, name, type, data);
    if (err == platform::win32::kFileNotFound) return ErrorCode::RegistryValueNotFound;
    if (err != 0) return ErrorCode::RegistryAccessDenied;
    if (type != platform::reg::kSz && type != platform::reg::kExpandSz) return ErrorCode::RegistryValueNotFound;
    out = platform::RegistryStringFromData(data);
    return ErrorCode::Success;
}

// "InstallLocation" of the uninstall entry; empty when it cannot be read.
std::wstring ReadInstallLocation() {
    const std::unique_ptr<platform::Registry> registry = platform::OpenMachineRegistry();
    platform::RegistryKeyHandle handle = 0;
    if (registry->OpenKey(kUninstallKeyPath, handle) != 0) return {};
    RegistryKeyHolder key(*registry);
    key.Own(handle);
    std::wstring location;
    ReadRegistryString(*registry, key.get(), L"InstallLocation", location);
    return location;
}

// A folder the uninstaller may remove must be named absolutely and not be a root.
bool IsRemovableFolderPath(const std::wstring& path) {
    try {
        return IsAbsoluteNonRootPath(path);
    } catch (const std::exception&) {
        return false;
    }
}

// The launcher as a regular file, or the launcher folder as a folder, neither a
// link: what the installation itself puts there.
bool HoldsProductFiles(const fs::path& folder) {
    return EntryAt(folder / NativePath(kLauncherExecutableName)).IsRegular() ||
           EntryAt(folder / NativePath(kLauncherFolderName)).IsDirectory();
}

// Whether what is at the install path may be removed as the product's folder:
// nothing there, an empty folder, or a folder with evidence of the product.
bool LooksLikeInstallation(const DetectedInstallation& detected) {
    const fs::path folder = NativePath(detected.installPath);
    if (!PathExists(folder)) return detected.registryFound;
    if (!IsFolder(folder)) return false;
    if (IsEmptyFolder(folder) || detected.receiptFound || detected.registryFound) return true;
    return HoldsProductFiles(folder);
}

// A receipt counts only as a regular file (not a link) that names this very folder.
void ReadReceipt(DetectedInstallation& detected) {
    const std::wstring path = GetInstallReceiptPath(detected.installPath);
    if (!PathExists(NativePath(path))) return;
    InstallReceipt receipt;
    if (!EntryAt(NativePath(path)).IsRegular() || ReadInstallReceipt(path, receipt) != ErrorCode::Success) return;
    if (!NamesSameFolder(receipt.installPath, detected.installPath)) {
        kLog.Warning("Receipt names another folder: " + U8(receipt.installPath));
        return;
    }
    detected.receipt = std::move(receipt);
    detected.receiptFound = true;
    detected.version = detected.receipt.version;
    kLog.Info("Found receipt, version: " + U8(detected.version));
}

void ListItemsToRemove(DetectedInstallation& detected) {
    detected.itemsToRemove.push_back(detected.installPath);
    for (const ReceiptShortcut& shortcut : detected.receipt.shortcuts) {
        detected.itemsToRemove.push_back(L"Shortcut: " + shortcut.name);
    }
    // An entry that names another folder is not this installation's.
    if (!detected.receipt.uninstallKey.empty() && detected.registryFound) {
        detected.itemsToRemove.push_back(L"Registry: " + detected.receipt.uninstallKey);
    }
}

// Removes "Zuvelo" in the data folder with its counts added; failures are only
// logged, and a folder whose location is unknown is passed over.
void PurgeDataFolder(int csidl, const std::vector<std::string>& keepEntries, UninstallStats& stats) {
    const std::wstring data = GetCsidlFolderPath(csidl);
    if (data.empty()) return;
    const std::wstring folder = WidePath(NativePath(data) / "Zuvelo");
    if (!PathExists(NativePath(folder))) return;
    FileOperations().RemoveDirectoryTree(folder, true, &stats.filesRemoved, &stats.directoriesRemoved, keepEntries);
}

// Everything but the evidence first, then the evidence (receipt, launcher,
// launcher folder) with the folder: a removal that stops part-way leaves a
// folder the next run still recognises. The counts only grow.
ErrorCode RemoveInstallationFolder(const std::wstring& folder, int32_t& files, int32_t& folders) {
    const std::vector<std::string> evidence = {WideToUtf8(kInstallReceiptFileName), WideToUtf8(kLauncherExecutableName),
                                               WideToUtf8(kLauncherFolderName)};
    FileOperations operations;
    const ErrorCode rest = operations.RemoveDirectoryTree(folder, true, &files, &folders, evidence);
    if (rest != ErrorCode::Success) return rest;
    return operations.RemoveDirectoryTree(folder, true, &files, &folders);
}

// The product's shortcut files in the folders the shortcut removal searches, so
// that what it deletes can be counted.
std::vector<std::wstring> FindProductShortcutFiles(ShortcutCreator& creator) {
    std::vector<std::wstring> paths;
    for (const ShortcutScope scope : {ShortcutScope::AllUsers, ShortcutScope::CurrentUser}) {
        for (const std::wstring& folder : {creator.GetProgramsFolder(scope), creator.GetDesktopFolder(scope)}) {
            const ShortcutSearch found = creator.FindProductShortcuts(folder, L"Zuvelo");
            paths.insert(paths.end(), found.paths.begin(), found.paths.end());
        }
    }
    return paths;
}

}  // namespace

UninstallManager::UninstallManager(ProcessManager processes, std::istream& in, std::ostream& out)
    : processes_(std::move(processes)), in_(in), out_(out) {}

ErrorCode UninstallManager::Run(const UninstallOptions& options, UninstallStats& stats) {
    const auto started = std::chrono::steady_clock::now();
    Events().LogStatus("uninstall", "starting");
    ReportStep("uninstall", "starting");
    if (InitializeFileLog() != ErrorCode::Success) kLog.Warning("Failed to initialize file logging");

    DetectedInstallation detected;
    DetectInstallation(options, detected);
    if (!detected.found) {
        if (!options.quiet) out_ << "Zuvelo installation not found.\n" << std::flush;
        kLog.Warning("Installation not found");
        ReportStep("detection", "not_found");
        return ErrorCode::FileNotFound;
    }
    ReportStep("detection", "complete", std::to_string(detected.itemsToRemove.size()) + " items");

    bool confirmed = false;
    ConfirmUninstall(detected, options, confirmed);
    if (!confirmed) {
        if (!options.quiet) out_ << "Uninstall cancelled by user.\n" << std::flush;
        kLog.Info("Uninstall cancelled by user");
        ReportStep("confirmation", "cancelled");
        return ErrorCode::Success;
    }
    ReportStep("confirmation", "approved");

    // Nothing is ended or removed while an update changes the installation; the
    // lock is held to the end of the run.
    platform::FileLock updateLock;
    if (const ErrorCode locked = HoldUpdateLock(updateLock, kComponent); locked != ErrorCode::Success) {
        Events().LogError(locked, "uninstall", "Failed to take the update lock");
        return locked;
    }
    if (TerminateProcesses(stats) != ErrorCode::Success) kLog.Warning("Process termination had issues");
    if (RemoveShortcuts(detected, stats) != ErrorCode::Success) kLog.Warning("Shortcut removal had issues");
    const ErrorCode removed = RemoveFiles(detected, options, stats);
    if (removed != ErrorCode::Success) {
        Events().LogError(removed, "remove_files", "File removal failed");
        stats.success = false;
        return removed;
    }
    // The entry goes after the folder, so an installation whose folder stays can
    // still be found and the uninstall tried again.
    if (RemoveRegistryEntries(detected, stats) != ErrorCode::Success) {
        kLog.Warning("Registry removal had issues");
    }
    stats.durationMs = static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count());
    stats.success = true;
    return FinishRun(detected, stats);
}

ErrorCode UninstallManager::FinishRun(const DetectedInstallation& detected, UninstallStats& stats) {
    SaveUninstallLog(detected, stats);
    Events().LogStatus("uninstall", "complete");
    ReportStep("uninstall", "complete", "success:true");
    return ErrorCode::Success;
}

ErrorCode UninstallManager::DetectInstallation(const UninstallOptions& options, DetectedInstallation& detected) {
    kLog.Info("Detecting installation");
    ReportStep("detection", "in_progress");
    const std::wstring registered = ReadInstallLocation();
    detected.installPath = !options.installPath.empty() ? options.installPath
                           : !registered.empty()        ? registered
                                                        : DefaultInstallPath();
    if (!IsRemovableFolderPath(detected.installPath)) {
        kLog.Warning("Folder does not look like a Zuvelo installation: " + U8(detected.installPath));
        return ErrorCode::Success;
    }
    ReadReceipt(detected);
    detected.registeredLocation = registered;
    detected.registryFound = NamesSameFolder(registered, detected.installPath);
    if (detected.registryFound) kLog.Info("Found registry entry");

    detected.found = LooksLikeInstallation(detected);
    if (!detected.found && PathExists(NativePath(detected.installPath))) {
        kLog.Warning("Folder does not look like a Zuvelo installation: " + U8(detected.installPath));
    }
    if (detected.found) ListItemsToRemove(detected);
    return ErrorCode::Success;
}

void UninstallManager::PrintPrompt(const DetectedInstallation& detected) {
    out_ << "\n=== Zuvelo Uninstall Confirmation ===\n\n";
    out_ << "Installation Path: " << Shown(detected.installPath) << "\n";
    if (!detected.version.empty()) out_ << "Version: " << Shown(detected.version) << "\n";
    out_ << "\nThe following will be removed:\n";
    for (const std::wstring& item : detected.itemsToRemove) out_ << "  - " << Shown(item) << "\n";
    out_ << "\nDo you want to continue? (Y/N): " << std::flush;
}

ErrorCode UninstallManager::ConfirmUninstall(const DetectedInstallation& detected, const UninstallOptions& options,
                                             bool& confirmed) {
    confirmed = false;
    if (options.force) {
        confirmed = true;
        kLog.Info("Confirmation skipped (--force)");
        return ErrorCode::Success;
    }
    ReportStep("confirmation", "waiting");
    PrintPrompt(detected);
    char answer = 0;
    if (in_ >> answer) confirmed = std::tolower(static_cast<unsigned char>(answer)) == 'y';
    ReportStep("confirmation", confirmed ? "approved" : "declined");
    return ErrorCode::Success;
}

ErrorCode UninstallManager::TerminateProcesses(UninstallStats& stats) {
    kLog.Info("Terminating Zuvelo processes");
    ReportStep("terminate_processes", "in_progress");
    int32_t ended = 0;
    const ErrorCode result = processes_.TerminateAllProductProcesses(&ended);
    stats.processesTerminated = ended;
    if (result != ErrorCode::Success) {
        ReportStep("terminate_processes", "failed");
        return result;
    }
    ReportStep("terminate_processes", "complete", std::to_string(ended));
    return ErrorCode::Success;
}

ErrorCode UninstallManager::RemoveShortcuts(const DetectedInstallation& /*detected*/, UninstallStats& stats) {
    kLog.Info("Removing shortcuts");
    ReportStep("remove_shortcuts", "in_progress");
    ShortcutCreator creator;
    const std::vector<std::wstring> found = FindProductShortcutFiles(creator);
    const ErrorCode result = creator.RemoveAllShortcuts();
    for (const std::wstring& path : found) {
        if (!EntryExists(NativePath(path))) ++stats.shortcutsRemoved;
    }
    if (result != ErrorCode::Success) {
        ReportStep("remove_shortcuts", "failed");
        return result;
    }
    ReportStep("remove_shortcuts", "complete", std::to_string(stats.shortcutsRemoved));
    return ErrorCode::Success;
}

ErrorCode UninstallManager::RemoveRegistryEntries(const DetectedInstallation& detected, UninstallStats& stats) {
    kLog.Info("Removing registry entries");
    ReportStep("remove_registry", "in_progress");
    ErrorCode result = ErrorCode::Success;
    // Only the entry detection matched, and only while it still names that folder.
    if (detected.registryFound && ReadInstallLocation() == detected.registeredLocation) {
        result = RegistryManager().RemoveUninstallInfo();
        if (result == ErrorCode::Success) stats.registryKeysRemoved = 1;
    }
    ReportStep("remove_registry", "complete", std::to_string(stats.registryKeysRemoved));
    return result;
}

ErrorCode UninstallManager::RemoveFiles(const DetectedInstallation& detected, const UninstallOptions& options,
                                        UninstallStats& stats) {
    kLog.Info("Removing files");
    ReportStep("remove_files", "in_progress");
    if (PathExists(NativePath(detected.installPath))) {
        int32_t files = 0;
        int32_t folders = 0;
        const ErrorCode result = RemoveInstallationFolder(detected.installPath, files, folders);
        if (result != ErrorCode::Success) {
            kLog.Error("Failed to remove installation directory");
            return result;
        }
        stats.filesRemoved = files;
        stats.directoriesRemoved = folders;
    }
    if (options.purge) {
        PurgeDataFolder(kCsidlLocalAppData, {}, stats);
        PurgeDataFolder(kCsidlCommonAppData, {kLogsFolderName}, stats);  // keeps this run's log
    }
    ReportStep("remove_files", "complete",
               std::to_string(stats.filesRemoved) + " files, " + std::to_string(stats.directoriesRemoved) + " dirs");
    return ErrorCode::Success;
}

ErrorCode UninstallManager::InitializeFileLog() {
    if (log_.IsOpen()) return ErrorCode::Success;
    const auto now = std::chrono::system_clock::now();
    return log_.Create(GetLogFilePath(now), now);
}

ErrorCode UninstallManager::SaveUninstallLog(const DetectedInstallation& detected, const UninstallStats& stats) {
    log_.Append(LogSummary(detected.version, detected.installPath, stats));
    return ErrorCode::Success;
}

}  // namespace zuvelo
