#include <exception>
#include <set>
#include <string>

#include "common/jsonl_logger.h"
#include "common/paths.h"
#include "common/update_lock.h"
#include "common/text.h"
#include "manifest/cache_folder.h"
#include "manifest/manifest_handler.h"
#include "manifest/manifest_log.h"
#include "manifest/prepared_session.h"

namespace zuvelo {

namespace {

namespace fs = std::filesystem;

JsonlLogger& Log() { return JsonlLogger::Instance(); }

// The manifest's events carry its URL and, once it is known, its file count.
class ManifestEvents {
public:
    explicit ManifestEvents(const std::wstring& manifestUrl) : url_(WideToUtf8Lossy(manifestUrl)) {}
    void Report(const std::string& status, int64_t filesProcessed = -1) const {
        Log().LogManifestProcessing(url_, status, filesProcessed);
    }

private:
    std::string url_;
};

int64_t FileCount(const UpdateManifest& manifest) { return static_cast<int64_t>(manifest.files.size()); }

bool LauncherGone(ErrorCode code) { return code == ErrorCode::ProgressPipeClosed || Log().IsPipeLost(); }

// An update without a backup could not be rolled back, and one that found no room
// for the backup would run out of room for itself: it stops before any change.
bool NoRoomForBackup(ErrorCode backup) {
    if (backup != ErrorCode::InsufficientDiskSpace) return false;
    kManifestLog.Error("Insufficient disk space for a backup; the update was not applied");
    return true;
}

// Only safe relative paths go into the backup restriction; faults of any other
// kind are left for the installation to report.
ErrorCode CollectSessionPaths(const Json::Value& document, std::set<std::string>& paths) {
    if (JsonHasEmbeddedNul(document)) {
        kManifestLog.Error("Prepared-session descriptor contains an escaped embedded NUL");
        return ErrorCode::InvalidArguments;
    }
    if (!document.isObject() || !document.isMember("files") || !document["files"].isArray()) return ErrorCode::Success;
    for (const Json::Value& element : document["files"]) {
        if (!element.isObject() || !element.isMember("file") || !element["file"].isString()) continue;
        const std::string file = element["file"].asString();
        if (!IsSafeRelativePathUtf8(file)) {
            kManifestLog.Error("Prepared-session descriptor contains an unsafe relative path");
            return ErrorCode::InvalidArguments;
        }
        paths.insert(file);
    }
    return ErrorCode::Success;
}

// A descriptor that cannot be opened or parsed restricts nothing; the
// installation reports it.
ErrorCode ReadSessionPaths(const PreparedSessionDescriptor& descriptor, std::set<std::string>& paths) {
    if (descriptor.readResult != ErrorCode::Success) return ErrorCode::Success;
    return CollectSessionPaths(descriptor.document, paths);
}

}  // namespace

ErrorCode ManifestHandler::Initialize() {
    kManifestLog.Debug("Initializing ManifestHandler");
    if (const ErrorCode result = httpClient_.Initialize(); !Succeeded(result)) return result;
    bool replaced = false;
    if (!Succeeded(PrepareCacheFolderOrReplacement(cacheDir_, replaced))) {
        kManifestLog.Warning("Failed to create cache directory: " + ToUtf8Lossy(cacheDir_));
    }
    freshCacheDir_ = freshCacheDir_ || replaced;
    kManifestLog.Debug("Loading trusted certificates (placeholder implementation)");
    kManifestLog.Info("ManifestHandler initialized successfully");
    return ErrorCode::Success;
}

ErrorCode ManifestHandler::ApplyManifest(const std::wstring& manifestUrl, const std::wstring& targetPath) {
    kManifestLog.Info("Applying manifest from: " + WideToUtf8Lossy(manifestUrl));
    const ManifestEvents events(manifestUrl);
    events.Report("starting");
    UpdateManifest manifest;
    if (const ErrorCode result = FetchManifest(manifestUrl, targetPath, manifest); !Succeeded(result)) return result;
    if (const ErrorCode result = CheckRoomForRelease(manifest, targetPath, nullptr); !Succeeded(result)) {
        events.Report("processing_failed", FileCount(manifest));
        return result;
    }

    std::wstring backupId;
    const ErrorCode backup = CreateBackup(manifest, targetPath, backupId, nullptr);
    if (NoRoomForBackup(backup)) {
        events.Report("processing_failed", FileCount(manifest));
        return backup;
    }
    if (!Succeeded(backup)) {
        kManifestLog.Warning("Failed to create backup, continuing without backup");
        backupId.clear();
    }
    const ErrorCode result = ProcessManifestFiles(manifest, targetPath);
    if (Succeeded(result)) {
        CompleteApplication(manifestUrl, manifest, backupId);
        kManifestLog.Info("Manifest applied successfully");
        return ErrorCode::Success;
    }
    kManifestLog.Error("Failed to process manifest files");
    FailApplication(manifestUrl, manifest, result, backupId, targetPath);
    return result;
}

ErrorCode ManifestHandler::ApplyPreparedSession(const std::wstring& manifestUrl, const std::wstring& targetPath,
                                                const std::wstring& sessionRoot,
                                                const std::wstring& filesManifestPath) {
    kManifestLog.Info("Applying manifest from prepared session: " + WideToUtf8Lossy(manifestUrl));
    const ManifestEvents events(manifestUrl);
    events.Report("starting");
    UpdateManifest manifest;
    if (const ErrorCode result = FetchManifest(manifestUrl, targetPath, manifest); !Succeeded(result)) return result;

    // Read once: the backup restriction and the installation work from the same entries.
    const PreparedSessionDescriptor descriptor = ReadPreparedSessionDescriptor(filesManifestPath);
    std::set<std::string> sessionPaths;
    if (const ErrorCode result = ReadSessionPaths(descriptor, sessionPaths); !Succeeded(result)) return result;
    const std::set<std::string>* changed = sessionPaths.empty() ? nullptr : &sessionPaths;
    if (const ErrorCode result = CheckRoomForRelease(manifest, targetPath, changed); !Succeeded(result)) {
        events.Report("processing_failed", FileCount(manifest));
        return result;
    }
    std::wstring backupId;
    const ErrorCode backup = CreateBackup(manifest, targetPath, backupId, changed);
    if (LauncherGone(backup)) {
        kManifestLog.Warning("Launcher progress pipe lost during backup; abandoning installation");
        return ErrorCode::ProgressPipeClosed;
    }
    if (NoRoomForBackup(backup)) {
        events.Report("processing_failed", FileCount(manifest));
        return backup;
    }
    if (!Succeeded(backup)) {
        kManifestLog.Warning("Failed to create backup, continuing without backup");
        backupId.clear();
    }

    const ErrorCode result = ProcessPreparedSession(manifest, targetPath, sessionRoot, descriptor);
    if (Succeeded(result)) {
        CompleteApplication(manifestUrl, manifest, backupId);
        kManifestLog.Info("Manifest applied successfully from prepared session");
        return ErrorCode::Success;
    }
    kManifestLog.Error("Failed to process prepared session files");
    FailApplication(manifestUrl, manifest, result, backupId, targetPath);
    return result;
}

ErrorCode ManifestHandler::FetchManifest(const std::wstring& manifestUrl, const std::wstring& targetPath,
                                         UpdateManifest& manifest) {
    const ManifestEvents events(manifestUrl);
    flowWithoutLock_ = !UpdateLock().Held();
    if (!IsAbsoluteNonRootPath(targetPath)) {
        kManifestLog.Error("Invalid target path: " + WideToUtf8Lossy(targetPath));
        return ErrorCode::InvalidArguments;
    }
    if (const ErrorCode result = HoldUpdateLock(UpdateLock(), "ManifestHandler"); !Succeeded(result)) return result;
    flowWithoutLock_ = false;
    if (const ErrorCode result = Initialize(); !Succeeded(result)) return result;
    if (const ErrorCode result = DownloadManifest(manifestUrl, manifest); !Succeeded(result)) {
        events.Report("download_failed");
        return result;
    }
    if (const ErrorCode result = ValidateManifest(manifest); !Succeeded(result)) {
        events.Report("validation_failed");
        return result;
    }
    return ErrorCode::Success;
}

void ManifestHandler::CompleteApplication(const std::wstring& manifestUrl, const UpdateManifest& manifest,
                                          const std::wstring& backupId) {
    if (!backupId.empty()) CleanupBackup(backupId);
    appliedFiles_.clear();
    for (const ManifestFileEntry& entry : manifest.files) appliedFiles_.push_back(entry.relativePath);
    ManifestEvents(manifestUrl).Report("completed", FileCount(manifest));
}

void ManifestHandler::FailApplication(const std::wstring& manifestUrl, const UpdateManifest& manifest,
                                      ErrorCode failure, const std::wstring& backupId,
                                      const std::wstring& targetPath) {
    ApplyRollbackPolicy(failure, backupId, targetPath);
    ManifestEvents(manifestUrl).Report("processing_failed", FileCount(manifest));
}

void ManifestHandler::ApplyRollbackPolicy(ErrorCode failure, const std::wstring& backupId,
                                          const std::wstring& targetPath) {
    if (LauncherGone(failure)) {
        kManifestLog.Warning(
            "Launcher disconnected; leaving files in place for the next attempt instead of rolling back");
        return;
    }
    if (backupId.empty()) return;
    kManifestLog.Info("Attempting rollback...");
    // The installation's failure is what the caller reports, however the rollback ends.
    bool restored = false;
    try {
        restored = Succeeded(RestoreBackup(backupId, targetPath));
    } catch (const std::exception& e) {
        kManifestLog.Error(std::string("Rollback raised an exception: ") + e.what());
    }
    if (!restored) kManifestLog.Error("Rollback failed - system may be in inconsistent state");
}

}  // namespace zuvelo
