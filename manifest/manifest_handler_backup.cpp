#include <chrono>
#include <ctime>
#include <exception>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include <json/reader.h>
#include <json/writer.h>

#include "common/file_operations.h"
#include "common/jsonl_logger.h"
#include "common/link_aware.h"
#include "common/paths.h"
#include "common/text.h"
#include "common/tree_walk.h"
#include "manifest/json_access.h"
#include "manifest/manifest_handler.h"
#include "manifest/manifest_log.h"
#include "manifest/target_writes.h"
#include "platform/file_io.h"
#include "platform/win32_error.h"

namespace zuvelo {

namespace {

namespace fs = std::filesystem;

constexpr const char* kBackupManifestName = "backup_manifest.json";

ErrorCode Fail(ErrorCode code, const std::string& message) {
    kManifestLog.Error(message);
    return code;
}

// The UTC second of the backup, e.g. 20260101_093005.
std::wstring BackupIdAt(std::chrono::system_clock::time_point when) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[32] = {};
    std::strftime(text, sizeof(text), "%Y%m%d_%H%M%S", &utc);
    return Utf8ToWide(text);
}

bool AllPathsSafe(const UpdateManifest& manifest) {
    for (const ManifestFileEntry& entry : manifest.files) {
        if (!IsSafeRelativePathUtf8(entry.relativePath)) return false;
    }
    return true;
}

// The current version of one target file into the backup, read through the
// held target; saved stays false when there is nothing to save (no file, or a
// link, which is never followed).
ErrorCode SaveTargetFile(const TargetFolder& target, const fs::path& backupDir, const std::string& relativePath,
                         bool& saved) {
    platform::UniqueFd file;
    bool linkFound = false;
    const uint32_t err = target.OpenFile(relativePath, file, linkFound);
    if (linkFound || err == platform::win32::kFileNotFound || err == platform::win32::kPathNotFound) {
        return ErrorCode::Success;
    }
    platform::FileStat st;
    const uint32_t statErr = err != 0 ? err : platform::StatFd(file.get(), st);
    if (statErr == 0 && st.IsDirectory()) return ErrorCode::Success;
    if (statErr != 0 || !st.IsRegular()) {
        // Unreadable, or nothing that can be saved and put back: no backup.
        const uint32_t reported = statErr != 0 ? statErr : platform::win32::kAccessDenied;
        FileOperations::LogFileError("CopyFileEx", WidePath(target.PathOf(relativePath)), reported);
        return FileOperations::MapWin32Error(reported);
    }
    saved = true;
    return SaveOpenFile(file.get(), target.PathOf(relativePath), backupDir / NativePathUtf8(relativePath));
}

struct BackupCounts {
    int32_t backedUp = 0;
    int32_t skipped = 0;
};

// The files named by the manifest (or by the restriction) as they are now.
ErrorCode SaveTargetFiles(const UpdateManifest& manifest, const TargetFolder* target, const fs::path& backupDir,
                          const std::set<std::string>* onlyThese, BackupCounts& counts) {
    for (const ManifestFileEntry& entry : manifest.files) {
        if (onlyThese && !onlyThese->contains(entry.relativePath)) {
            ++counts.skipped;
            continue;
        }
        bool saved = false;
        if (const ErrorCode code = target ? SaveTargetFile(*target, backupDir, entry.relativePath, saved)
                                          : ErrorCode::Success;
            code != ErrorCode::Success) {
            return code;
        }
        counts.backedUp += saved ? 1 : 0;
        if (JsonlLogger::Instance().IsPipeLost()) {
            kManifestLog.Warning("Launcher progress pipe lost during backup; abandoning backup");
            return ErrorCode::ProgressPipeClosed;
        }
    }
    return ErrorCode::Success;
}

// A backup that is not whole is no backup: its folder goes and nobody may restore from it.
void AbandonBackup(const fs::path& backupDir, std::wstring& backupId) {
    FileOperations().RemoveDirectoryTree(WidePath(backupDir), true);
    backupId.clear();
}

// The backups folder itself must be a real folder: through a link, the purge
// would empty and the backup would fill some other folder.
bool IsLinkedFolder(const fs::path& folder) { return EntryAt(folder).IsSymlink(); }

// After the purge only an entry it refused to touch can stand where the new backup goes.
bool BackupFolderTaken(const fs::path& backupDir) {
    return IsLinkedFolder(backupDir.parent_path()) || EntryExists(backupDir);
}

// One entry of the backups folder with everything in it; "" or why it stays. A folder goes
// through the handle-verified removal: on Windows std::filesystem::remove_all follows links
// inside and leaves read-only files, which saved copies of read-only files are.
std::string RemoveBackupEntry(const fs::path& path) {
    if (EntryAt(path).IsDirectory()) {
        const ErrorCode code = FileOperations().RemoveDirectoryTree(WidePath(path), true);
        return code == ErrorCode::Success ? "" : GetErrorMessage(code);
    }
    std::error_code ec;
    fs::remove(path, ec);
    return ec ? ec.message() : "";
}

// Each earlier backup in the backups folder, removed unless it is unsafe to touch (a link
// is never followed, nor is anything inside entered).
class BackupPurge final : public TreeVisitor {
public:
    explicit BackupPurge(const fs::path& backups) : backups_(backups) {}

    WalkStep Visit(const TreeEntry& entry) override {
        const fs::path path = PathBelow(backups_, entry.relative);
        std::string name;  // stays empty, so unsafe, when the name on disk is not valid text
        try {
            name = Utf8FromPath(path.filename());
        } catch (const std::exception&) {
        }
        if (!IsSafeRelativePathUtf8(name) || entry.info->IsSymlink()) {
            Skipped();
        } else if (const std::string failure = RemoveBackupEntry(path); !failure.empty()) {
            kManifestLog.Warning("Failed to purge stale backups: " + failure);
        } else {
            kManifestLog.Debug("Purged stale backup: " + name);
            ++purged;
        }
        return WalkStep::SkipFolder;
    }

    WalkStep Failed(const TreeWalkFailure& failure) override {
        if (failure.stage == TreeWalkFailure::Stage::Look) {
            Skipped();  // what cannot be looked at is not touched
            return WalkStep::Continue;
        }
        kManifestLog.Warning("Failed to purge stale backups: " +
                             WideToUtf8Lossy(FormatWin32Error(failure.error.code())));
        return WalkStep::Stop;
    }

    int32_t purged = 0;

private:
    static void Skipped() { kManifestLog.Warning("Skipped unsafe stale backup entry"); }

    const fs::path& backups_;
};

Json::Value BackupDocument(const UpdateManifest& manifest, std::chrono::system_clock::time_point now) {
    Json::Value document(Json::objectValue);
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    document["backupTime"] = std::to_string(seconds);
    document["files"] = Json::Value(Json::arrayValue);
    for (const ManifestFileEntry& entry : manifest.files) {
        Json::Value file(Json::objectValue);
        file["relativePath"] = entry.relativePath;
        file["sha256Hash"] = entry.sha256;
        file["size"] = Json::UInt64(entry.size);
        document["files"].append(file);
    }
    document["gameVersion"] = manifest.gameVersion;
    document["version"] = manifest.version;
    return document;
}

// 0, 140 (cannot be opened), 121 (not JSON, or without a "files" array) or 1 (NUL).
ErrorCode LoadBackupDocument(const fs::path& file, Json::Value& document) {
    std::ifstream in(file, std::ios::binary);
    if (!in.is_open()) return ErrorCode::FileAccessDenied;
    std::string errors;
    if (!Json::parseFromStream(Json::CharReaderBuilder(), in, &document, &errors)) {
        return Fail(ErrorCode::ManifestParseFailed, "Failed to parse backup manifest: " + errors);
    }
    if (JsonHasEmbeddedNul(document)) {
        return Fail(ErrorCode::InvalidArguments, "Backup manifest contains an escaped embedded NUL");
    }
    const Json::Value* files = FindMember(document, "files");
    if (!files || !files->isArray()) {
        return Fail(ErrorCode::ManifestParseFailed, "Failed to parse backup manifest: missing 'files' array");
    }
    return ErrorCode::Success;
}

// The saved paths, all checked before any file is put back.
ErrorCode CollectSavedPaths(const Json::Value& files, std::vector<std::string>& paths) {
    for (const Json::Value& element : files) {
        const Json::Value* path = FindMember(element, "relativePath");
        if (!path) continue;
        if (!path->isString() || !IsSafeRelativePathUtf8(path->asString())) {
            return Fail(ErrorCode::InvalidArguments, "Backup manifest contains an unsafe path");
        }
        paths.push_back(path->asString());
    }
    return ErrorCode::Success;
}

}  // namespace

ErrorCode ManifestHandler::CreateBackup(const UpdateManifest& manifest, const std::wstring& targetPath,
                                        std::wstring& backupId, const std::set<std::string>* onlyThese) {
    kManifestLog.Debug("Creating backup before applying manifest");
    if (!AllPathsSafe(manifest)) return Fail(ErrorCode::InvalidArguments, "Refusing unsafe backup path");
    PurgeStaleBackups();
    backupId = BackupIdAt(Now());
    const fs::path backupDir = cacheDir_ / "backups" / NativePath(backupId);
    if (BackupFolderTaken(backupDir)) {
        backupId.clear();
        return Fail(ErrorCode::InvalidArguments, "Refusing unsafe backup path");
    }
    ErrorCode code = FileOperations().EnsureDirectory(WidePath(backupDir));
    if (code == ErrorCode::Success) code = WriteBackupManifest(manifest, backupDir);
    BackupCounts counts;
    if (code == ErrorCode::Success) {
        // A target that is not there yet has nothing to save.
        const TargetFolder* target = OpenTarget(targetPath, false) == ErrorCode::Success ? &target_ : nullptr;
        code = SaveTargetFiles(manifest, target, backupDir, onlyThese, counts);
    }
    if (code == ErrorCode::ProgressPipeClosed) return code;  // left for the next attempt
    if (code != ErrorCode::Success) {
        AbandonBackup(backupDir, backupId);
        return code;
    }
    const std::string skipped =
        counts.skipped >= 1 ? ", skipped " + std::to_string(counts.skipped) + " unchanged" : "";
    kManifestLog.Info("Backup created with ID: " + WideToUtf8(backupId) + " (backed up " +
                      std::to_string(counts.backedUp) + " files" + skipped + ")");
    return ErrorCode::Success;
}

void ManifestHandler::PurgeStaleBackups() {
    try {
        const fs::path backups = cacheDir_ / "backups";
        std::error_code ec;
        if (!fs::exists(backups, ec)) return;
        if (IsLinkedFolder(backups)) {
            kManifestLog.Warning("Skipped unsafe stale backup entry");
            return;
        }
        BackupPurge purge(backups);
        WalkFolder(backups, purge, LookAt::EveryEntry);
        if (purge.purged > 0) {
            kManifestLog.Info("Purged " + std::to_string(purge.purged) + " stale backup(s)");
        }
    } catch (const std::exception& e) {
        kManifestLog.Warning(std::string("Failed to purge stale backups: ") + e.what());
    }
}

ErrorCode ManifestHandler::WriteBackupManifest(const UpdateManifest& manifest, const fs::path& backupDir) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "  ";
    std::ofstream out(backupDir / kBackupManifestName, std::ios::binary | std::ios::trunc);
    if (!out.is_open()) return ErrorCode::FileAccessDenied;
    out << Json::writeString(builder, BackupDocument(manifest, Now()));
    out.close();
    // A manifest that did not reach the disk whole would make the backup unusable.
    return out.fail() ? ErrorCode::FileAccessDenied : ErrorCode::Success;
}

ErrorCode ManifestHandler::RestoreBackup(const std::wstring& backupId, const std::wstring& targetPath) {
    kManifestLog.Info("Restoring backup: " + ToUtf8Lossy(backupId));
    if (!IsSafeRelativePath(backupId)) return Fail(ErrorCode::InvalidArguments, "Invalid backup ID");
    const fs::path backupDir = cacheDir_ / "backups" / NativePath(backupId);
    if (!EntryAt(backupDir).IsDirectory()) {
        return Fail(ErrorCode::FileNotFound, "Backup directory not found: " + ToUtf8Lossy(backupDir));
    }
    const ErrorCode code = ReadBackupManifest(backupDir, targetPath);
    if (code == ErrorCode::Success) kManifestLog.Info("Backup restored successfully");
    return code;
}

ErrorCode ManifestHandler::ReadBackupManifest(const fs::path& backupDir, const std::wstring& targetPath) {
    Json::Value document;
    if (const ErrorCode code = LoadBackupDocument(backupDir / kBackupManifestName, document);
        code != ErrorCode::Success) {
        return code;
    }
    std::vector<std::string> paths;
    if (const ErrorCode code = CollectSavedPaths(document["files"], paths); code != ErrorCode::Success) return code;

    if (const ErrorCode code = OpenTarget(targetPath, true); code != ErrorCode::Success) return code;
    int32_t failed = 0;
    for (const std::string& path : paths) {
        const fs::path saved = backupDir / NativePathUtf8(path);
        if (!EntryAt(saved).IsRegular()) continue;  // nothing was saved for it
        if (RestoreSavedFile(target_, path, saved) != ErrorCode::Success) ++failed;
    }
    if (failed > 0) {
        return Fail(ErrorCode::FileCopyFailed, "Failed to restore " + std::to_string(failed) + " file(s) from backup");
    }
    return ErrorCode::Success;
}

ErrorCode ManifestHandler::CleanupBackup(const std::wstring& backupId) {
    kManifestLog.Debug("Cleaning up backup: " + ToUtf8Lossy(backupId));
    if (!IsSafeRelativePath(backupId)) return Fail(ErrorCode::InvalidArguments, "Invalid backup ID");
    const fs::path backupDir = cacheDir_ / "backups" / NativePath(backupId);
    if (!EntryExists(backupDir)) return ErrorCode::Success;
    return FileOperations().RemoveDirectoryTree(WidePath(backupDir), true);
}

}  // namespace zuvelo
