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
#include "common/paths.h"
#include "common/text.h"
#include "manifest/json_access.h"
#include "manifest/manifest_handler.h"
#include "manifest/manifest_log.h"

namespace zuvelo {

namespace {

namespace fs = std::filesystem;

constexpr const char* kBackupManifestName = "backup_manifest.json";

ErrorCode Fail(ErrorCode code, const std::string& message) {
    LogManifest(LogLevel::Error, message);
    return code;
}

CopyOptions BackupCopyOptions() {
    return CopyOptions{.overwrite = true, .preserveTimestamps = true, .verifyHash = true, .createDirectories = true,
                       .progress = {}};
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

// Copies one existing file; the parent folder of the copy is made first.
ErrorCode CopyWithParent(const fs::path& from, const fs::path& to) {
    FileOperations files;
    if (const ErrorCode code = files.EnsureDirectory(WidePath(to.parent_path())); code != ErrorCode::Success) {
        return code;
    }
    return files.Copy(WidePath(from), WidePath(to), BackupCopyOptions());
}

// The current version of one target file into the backup; saved stays false
// when there is nothing to save.
ErrorCode SaveTargetFile(const fs::path& target, const fs::path& backupDir, const std::string& relativePath,
                         bool& saved) {
    const fs::path source = target / NativePathUtf8(relativePath);
    std::error_code ec;
    const fs::file_status status = fs::status(source, ec);
    if (!fs::exists(status) || fs::is_directory(status)) {
        // Absent: nothing to save. Unreadable: not saved, and so no backup.
        return ec && status.type() != fs::file_type::not_found ? ErrorCode::FileCopyFailed : ErrorCode::Success;
    }
    saved = true;
    return CopyWithParent(source, backupDir / NativePathUtf8(relativePath));
}

struct BackupCounts {
    int32_t backedUp = 0;
    int32_t skipped = 0;
};

// The files named by the manifest (or by the restriction) as they are now.
ErrorCode SaveTargetFiles(const UpdateManifest& manifest, const fs::path& target, const fs::path& backupDir,
                          const std::set<std::string>* onlyThese, BackupCounts& counts) {
    for (const ManifestFileEntry& entry : manifest.files) {
        if (onlyThese && !onlyThese->contains(entry.relativePath)) {
            ++counts.skipped;
            continue;
        }
        bool saved = false;
        if (const ErrorCode code = SaveTargetFile(target, backupDir, entry.relativePath, saved);
            code != ErrorCode::Success) {
            return code;
        }
        counts.backedUp += saved ? 1 : 0;
        if (JsonlLogger::Instance().IsPipeLost()) {
            LogManifest(LogLevel::Warning, "Launcher progress pipe lost during backup; abandoning backup");
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
bool IsLinkedFolder(const fs::path& folder) {
    std::error_code ec;
    return fs::is_symlink(fs::symlink_status(folder, ec));
}

// After the purge only an entry it refused to touch can stand where the new backup goes.
bool BackupFolderTaken(const fs::path& backupDir) {
    std::error_code ec;
    return IsLinkedFolder(backupDir.parent_path()) || fs::exists(fs::symlink_status(backupDir, ec));
}

bool IsLinkOrUnreadable(const fs::directory_entry& entry) {
    std::error_code ec;
    const fs::file_status status = entry.symlink_status(ec);
    return ec || fs::is_symlink(status);
}

// One earlier backup, removed unless it is unsafe to touch (a link is never followed).
bool PurgeBackupEntry(const fs::directory_entry& entry) {
    const std::string name = entry.path().filename().native();
    if (!IsSafeRelativePathUtf8(name) || IsLinkOrUnreadable(entry)) {
        LogManifest(LogLevel::Warning, "Skipped unsafe stale backup entry");
        return false;
    }
    std::error_code ec;
    fs::remove_all(entry.path(), ec);
    if (ec) {
        LogManifest(LogLevel::Warning, "Failed to purge stale backups: " + ec.message());
        return false;
    }
    LogManifest(LogLevel::Debug, "Purged stale backup: " + name);
    return true;
}

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

// What stands where a saved file goes back: a read-only file is made writable,
// a link is removed, so the restore never writes through it to elsewhere.
void PrepareRestoreTarget(const fs::path& file) {
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(file, ec);
    if (!ec && fs::is_symlink(status)) {
        FileOperations().Delete(WidePath(file));
        return;
    }
    constexpr fs::perms kWrite = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    if (ec || !fs::is_regular_file(status) || (status.permissions() & kWrite) != fs::perms::none) return;
    if (FileOperations().SetPermissions(WidePath(file), false) != ErrorCode::Success) {
        LogManifest(LogLevel::Warning, "Failed to clear read-only attribute of: " + ToUtf8Lossy(file));
    }
}

// Puts one saved file back; true when there was nothing to put back or it went back.
bool RestoreSavedFile(const fs::path& backupDir, const fs::path& target, const std::string& relativePath) {
    const fs::path saved = backupDir / NativePathUtf8(relativePath);
    std::error_code ec;
    if (!fs::is_regular_file(fs::symlink_status(saved, ec))) return true;
    const fs::path restored = target / NativePathUtf8(relativePath);
    PrepareRestoreTarget(restored);
    return CopyWithParent(saved, restored) == ErrorCode::Success;
}

}  // namespace

ErrorCode ManifestHandler::CreateBackup(const UpdateManifest& manifest, const std::wstring& targetPath,
                                        std::wstring& backupId, const std::set<std::string>* onlyThese) {
    LogManifest(LogLevel::Debug, "Creating backup before applying manifest");
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
        code = SaveTargetFiles(manifest, NativePath(targetPath), backupDir, onlyThese, counts);
    }
    if (code == ErrorCode::ProgressPipeClosed) return code;  // left for the next attempt
    if (code != ErrorCode::Success) {
        AbandonBackup(backupDir, backupId);
        return code;
    }
    const std::string skipped =
        counts.skipped >= 1 ? ", skipped " + std::to_string(counts.skipped) + " unchanged" : "";
    LogManifest(LogLevel::Info, "Backup created with ID: " + WideToUtf8(backupId) + " (backed up " +
                                    std::to_string(counts.backedUp) + " files" + skipped + ")");
    return ErrorCode::Success;
}

void ManifestHandler::PurgeStaleBackups() {
    try {
        const fs::path backups = cacheDir_ / "backups";
        std::error_code ec;
        if (!fs::exists(backups, ec)) return;
        if (IsLinkedFolder(backups)) {
            LogManifest(LogLevel::Warning, "Skipped unsafe stale backup entry");
            return;
        }
        int32_t purged = 0;
        for (const fs::directory_entry& entry : fs::directory_iterator(backups)) {
            if (PurgeBackupEntry(entry)) ++purged;
        }
        if (purged > 0) LogManifest(LogLevel::Info, "Purged " + std::to_string(purged) + " stale backup(s)");
    } catch (const std::exception& e) {
        LogManifest(LogLevel::Warning, std::string("Failed to purge stale backups: ") + e.what());
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
    LogManifest(LogLevel::Info, "Restoring backup: " + ToUtf8Lossy(backupId));
    if (!IsSafeRelativePath(backupId)) return Fail(ErrorCode::InvalidArguments, "Invalid backup ID");
    const fs::path backupDir = cacheDir_ / "backups" / NativePath(backupId);
    std::error_code ec;
    if (!fs::is_directory(fs::symlink_status(backupDir, ec))) {
        return Fail(ErrorCode::FileNotFound, "Backup directory not found: " + ToUtf8Lossy(backupDir));
    }
    const ErrorCode code = ReadBackupManifest(backupDir, targetPath);
    if (code == ErrorCode::Success) LogManifest(LogLevel::Info, "Backup restored successfully");
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

    const fs::path target = NativePath(targetPath);
    int32_t failed = 0;
    for (const std::string& path : paths) {
        if (!RestoreSavedFile(backupDir, target, path)) ++failed;
    }
    if (failed > 0) {
        return Fail(ErrorCode::FileCopyFailed, "Failed to restore " + std::to_string(failed) + " file(s) from backup");
    }
    return ErrorCode::Success;
}

ErrorCode ManifestHandler::CleanupBackup(const std::wstring& backupId) {
    LogManifest(LogLevel::Debug, "Cleaning up backup: " + ToUtf8Lossy(backupId));
    if (!IsSafeRelativePath(backupId)) return Fail(ErrorCode::InvalidArguments, "Invalid backup ID");
    const fs::path backupDir = cacheDir_ / "backups" / NativePath(backupId);
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(backupDir, ec))) return ErrorCode::Success;
    return FileOperations().RemoveDirectoryTree(WidePath(backupDir), true);
}

}  // namespace zuvelo
