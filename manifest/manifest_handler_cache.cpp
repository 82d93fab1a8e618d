#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "common/file_operations.h"
#include "common/jsonl_logger.h"
#include "common/link_aware.h"
#include "common/paths.h"
#include "common/text.h"
#include "manifest/cache_folder.h"
#include "manifest/cache_store.h"
#include "manifest/manifest_handler.h"
#include "manifest/manifest_log.h"

namespace zuvelo {

namespace {

namespace fs = std::filesystem;

constexpr auto kCacheLifetime = std::chrono::hours(24);
constexpr const char* kBackupsFolder = "backups";

// The first 8 hash characters name the folder of a cached file.
std::string FolderNameOf(const std::string& sha256) {
    std::string h8 = sha256.substr(0, 8);
    if (h8.find('\0') != std::string::npos) throw std::invalid_argument("Path contains an embedded NUL");
    return h8;
}

bool IsExistingFile(const fs::path& path) {
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    return !ec && fs::exists(status) && !fs::is_directory(status);
}

// Regular files of the cache, the backups area left out: saved copies keep
// their originals' old times and must not age out while a backup is kept.
// A link is never entered, so nothing outside the cache is ever listed for deletion.
template <typename Visit>
void ForEachCacheFile(const fs::path& cacheDir, Visit visit) {
    WalkWithoutLinks(cacheDir, [&visit](const WalkedEntry& entry) {
        if (entry.depth == 0 && entry.path.filename() == kBackupsFolder) return WalkStep::SkipFolder;
        if (entry.info.IsRegular()) visit(entry.path);
        return WalkStep::Continue;
    });
}

bool IsExpired(const fs::path& file, std::chrono::system_clock::time_point cutoff) {
    std::error_code ec;
    const fs::file_time_type written = fs::last_write_time(file, ec);
    if (ec) return false;
    return std::chrono::file_clock::to_sys(written) < cutoff;
}

void RemoveAll(const std::vector<fs::path>& files) {
    for (const fs::path& file : files) {
        std::error_code ignored;
        fs::remove(file, ignored);
    }
}

bool IsBelow(const fs::path& folder, const fs::path& root) {
    const fs::path relative = folder.lexically_relative(root);
    return !relative.empty() && relative != "." && *relative.begin() != "..";
}

// Replacing the downloaded file's name gives the cache the very bytes just
// verified, without copying them; the download's name is not used afterwards.
bool MoveIntoCache(const fs::path& downloaded, const fs::path& cached) {
    std::error_code ec;
    fs::rename(downloaded, cached, ec);
    if (ec) return false;
    const uint64_t size = fs::file_size(cached, ec);
    // The file events a copy into the cache writes.
    if (!ec && size <= FileOperations::kChunkedCopyThreshold) {
        JsonlLogger::Instance().LogFileOperation("copy", WidePath(cached), true, 0, false);
    }
    return true;
}

CopyOptions CacheCopyOptions() {
    CopyOptions options;
    options.overwrite = true;
    options.preserveTimestamps = true;
    options.verifyHash = true;
    options.createDirectories = true;
    return options;
}

}  // namespace

void RemoveEmptiedFolders(const fs::path& cacheDir, fs::path folder) {
    std::error_code ec;
    while (IsBelow(folder, cacheDir) && fs::remove(folder, ec) && !ec) folder = folder.parent_path();
}

ErrorCode MoveDownloadIntoCache(const fs::path& cacheDir, const fs::path& downloaded, const std::string& sha256) {
    const fs::path folder = cacheDir / PathFromUtf8(FolderNameOf(sha256));
    if (const ErrorCode result = FileOperations().EnsureDirectory(WidePath(folder)); !Succeeded(result)) {
        return result;
    }
    const fs::path cached = folder / PathFromUtf8(sha256);
    if (MoveIntoCache(downloaded, cached)) return ErrorCode::Success;
    return FileOperations().Copy(WidePath(downloaded), WidePath(cached), CacheCopyOptions());
}

fs::path ManifestHandler::CachePathOf(const std::string& sha256) const {
    return cacheDir_ / PathFromUtf8(FolderNameOf(sha256)) / PathFromUtf8(sha256);
}

ErrorCode ManifestHandler::GetCachePath(const std::string& sha256, fs::path& out) {
    out = CachePathOf(sha256);
    return IsExistingFile(out) ? ErrorCode::Success : ErrorCode::FileNotFound;
}

ErrorCode ManifestHandler::StoreInCache(const fs::path& downloaded, const std::string& sha256) {
    const ErrorCode result = MoveDownloadIntoCache(cacheDir_, downloaded, sha256);
    // A copy leaves the download in place, and so its folders.
    if (Succeeded(result) && !fs::exists(downloaded)) RemoveEmptiedFolders(cacheDir_, downloaded.parent_path());
    return result;
}

ErrorCode ManifestHandler::CleanupCache() {
    kManifestLog.Debug("Cleaning up download cache");
    if (!fs::exists(cacheDir_)) return ErrorCode::Success;
    if (CheckCacheFolder(cacheDir_) != CacheFolderState::Usable) return ErrorCode::Success;

    // One walk finds what CleanupExpiredCache removes and, among the rest, the partial
    // downloads, which lie in folders of their own for nested paths (those go too).
    kManifestLog.Debug("Cleaning up expired cache files");
    const auto cutoff = Now() - kCacheLifetime;
    std::vector<fs::path> expired;
    std::vector<fs::path> leftovers;
    ForEachCacheFile(cacheDir_, [&](const fs::path& file) {
        if (IsExpired(file, cutoff)) expired.push_back(file);
        else if (file.extension() == ".tmp") leftovers.push_back(file);
    });
    RemoveAll(expired);
    RemoveAll(leftovers);
    for (const fs::path& file : leftovers) RemoveEmptiedFolders(cacheDir_, file.parent_path());
    return ErrorCode::Success;
}

ErrorCode ManifestHandler::CleanupExpiredCache() {
    kManifestLog.Debug("Cleaning up expired cache files");
    if (CheckCacheFolder(cacheDir_) != CacheFolderState::Usable) return ErrorCode::Success;
    const auto cutoff = Now() - kCacheLifetime;
    std::vector<fs::path> expired;
    ForEachCacheFile(cacheDir_, [&](const fs::path& file) {
        if (IsExpired(file, cutoff)) expired.push_back(file);
    });
    RemoveAll(expired);
    return ErrorCode::Success;
}

}  // namespace zuvelo
