#include "install/orphan_cleanup.h"

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "common/jsonl_logger.h"
#include "common/paths.h"
#include "common/pinned_removal.h"
#include "common/text.h"
#include "install/orphan_candidates.h"
#include "install/orphan_inventory.h"
#include "install/orphan_report.h"

namespace zuvelo {

namespace {

constexpr const char* kOperation = "orphan_cleanup";

JsonlLogger& Log() { return JsonlLogger::Instance(); }

void AddReleaseFiles(const std::vector<std::string>& releaseFiles, std::set<std::string>& expected) {
    for (const std::string& path : releaseFiles) {
        std::string key = ToRelativeKey(path);
        if (!key.empty()) expected.insert(std::move(key));
    }
}

void NoteReportFailure(OrphanCleanupResult& result, bool& flag, const std::string& name) {
    flag = true;
    result.warnings += "Failed to write " + name + "; ";
}

// The relative key of path when it lies in the target (a folder on its way is
// the target, as the file system tells folders apart); empty otherwise.
std::string KeyInTarget(const std::wstring& path, const std::wstring& targetPath) {
    const std::filesystem::path full = std::filesystem::absolute(NativePath(path)).lexically_normal();
    for (std::filesystem::path folder = full.parent_path(); folder.has_relative_path(); folder = folder.parent_path()) {
        if (NamesSameFolder(WidePath(folder), targetPath)) {
            return ToRelativeKey(Utf8FromPath(full.lexically_relative(folder)));
        }
    }
    return {};
}

// The session root and its files manifest, when they lie in the target: the
// cleanup's own inputs and the place of its reports are never orphans.
std::set<std::string> SessionKeysInTarget(const std::wstring& sessionRoot, const std::wstring& filesManifestPath,
                                          const std::wstring& targetPath) {
    std::set<std::string> keys;
    for (const std::wstring* path : {&sessionRoot, &filesManifestPath}) {
        std::string key = KeyInTarget(*path, targetPath);
        if (!key.empty()) keys.insert(std::move(key));
    }
    return keys;
}

std::string Summary(const OrphanCleanupResult& result) {
    std::string summary = "Orphan cleanup completed: " + std::to_string(result.filesRemoved) + " files, " +
                          std::to_string(result.dirsRemoved) + " dirs removed, " + std::to_string(result.bytesFreed) +
                          " bytes freed, " + std::to_string(result.filesSkipped) + " skipped";
    if (!result.warnings.empty()) summary += ". Warnings: " + result.warnings;
    return summary;
}

}  // namespace

ErrorCode SkipOrphanCleanup(OrphanCleanupResult& result, const std::string& reason, uint32_t win32Error) noexcept {
    result.skipped = true;
    result.systemErrorCode = win32Error;
    try {
        result.skipReason = reason;
        std::string message = "Orphan cleanup skipped: " + reason;
        if (win32Error != 0) message += " (Win32 " + std::to_string(win32Error) + ")";
        Log().LogDiagnostic(LogLevel::Warning, message, kOperation);
    } catch (...) {
        // The skip stands; its event below is still sent.
    }
    EmitOrphanCleanupSkipped(result);
    return ErrorCode::Success;
}

ErrorCode RunOrphanCleanup(const OrphanCleanupOptions& options, const std::wstring& targetPath,
                           const std::wstring& sessionRoot, const std::wstring& filesManifestPath, ComponentKind kind,
                           OrphanCleanupResult& result) {
    Log().LogStatus(kOperation, "starting");
    Log().LogDiagnostic(LogLevel::Info, std::string("Starting orphan cleanup for ") + OrphanComponentWord(kind));

    PinnedRoot root;  // held until the run returns
    if (const SystemError err = OpenVerifiedHandle(targetPath, root)) {
        return SkipOrphanCleanup(result, "cleanup root could not be pinned safely", err.code());
    }
    std::set<std::string> expected;
    if (ReadExpectedFiles(filesManifestPath, expected) != ErrorCode::Success) {
        return SkipOrphanCleanup(result, "expected-files manifest could not be read safely", 0);
    }
    AddReleaseFiles(options.releaseFiles, expected);
    if (expected.empty()) {
        return SkipOrphanCleanup(result, "expected-files manifest was empty; no files were deleted", 0);
    }
    std::vector<InventoryEntry> inventory;
    if (BuildLocalInventory(root, targetPath, inventory) != ErrorCode::Success) {
        return SkipOrphanCleanup(result, "local inventory could not be built safely", 0);
    }

    const ReportFolder reports(sessionRoot);
    if (WriteLocalInventory(reports, inventory) != ErrorCode::Success) {
        NoteReportFailure(result, result.localInventoryWriteFailed, "local-inventory.json");
    }
    std::set<std::string> allowlist;
    BuildAllowlist(allowlist, kind);
    EmitOrphanCleanupStarted(targetPath, kind, expected.size(), inventory.size());

    std::vector<OrphanCandidate> files;
    std::vector<OrphanCandidate> directories;
    ComputeOrphans(inventory, expected, allowlist, files, directories,
                   SessionKeysInTarget(sessionRoot, filesManifestPath, targetPath));
    for (const OrphanCandidate& file : files) EmitOrphanCandidate(file);
    for (const OrphanCandidate& directory : directories) EmitOrphanCandidate(directory);

    const ErrorCode code = DeleteOrphans(options, targetPath, root, files, directories, result);
    if (WriteOrphanReport(reports, files, directories, result) != ErrorCode::Success) {
        NoteReportFailure(result, result.orphanReportWriteFailed, "orphan-report.json");
    }
    if (code != ErrorCode::Success) {
        Log().LogStatus(kOperation, "aborted", "Containment verification failed; cleanup stopped");
        return code;
    }
    EmitOrphanCleanupComplete(result);
    Log().LogDiagnostic(LogLevel::Info, Summary(result));
    Log().LogStatus(kOperation, "completed");
    return ErrorCode::Success;
}

}  // namespace zuvelo
