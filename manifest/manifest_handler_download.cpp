#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <system_error>

#include "common/file_operations.h"
#include "common/jsonl_logger.h"
#include "common/partial_download.h"
#include "common/paths.h"
#include "common/text.h"
#include "manifest/cache_folder.h"
#include "manifest/cache_store.h"
#include "manifest/manifest_handler.h"
#include "manifest/manifest_log.h"
#include "manifest/manifest_rules.h"

namespace zuvelo {

namespace {

namespace fs = std::filesystem;

constexpr const char* kComponent = "ManifestHandler";
constexpr int kDownloadAttempts = 3;
constexpr auto kRetryPause = std::chrono::milliseconds(1000);

DownloadOptions ManifestDownloadOptions(bool* tooLarge) {
    DownloadOptions options;
    options.timeoutMs = 30000;
    options.resume = false;
    options.maxBytes = kMaxManifestBytes;
    options.tooLarge = tooLarge;
    return options;
}

DownloadOptions FileDownloadOptions(int attempt) {
    DownloadOptions options;
    options.timeoutMs = 60000;
    options.resume = attempt > 1;
    return options;
}

ErrorCode Fail(ErrorCode code, const std::string& message) {
    kManifestLog.Error(message);
    return code;
}

// The digest taken while receiving spares reading the file again; without one it is read.
ErrorCode VerifyDownload(FileOperations& files, const fs::path& dest, const std::string& expectedSha256,
                         const std::string& digest) {
    if (digest.empty()) return files.VerifyFileIntegrity(WidePath(dest), expectedSha256);
    return files.VerifyFileDigest(WidePath(dest), expectedSha256, digest);
}

// Download folders stay while files are fetched and go once, when left empty,
// at the end (a partial download kept for the next attempt keeps its own).
class DownloadFolders {
public:
    explicit DownloadFolders(const fs::path& cacheDir) : cacheDir_(cacheDir) {}
    DownloadFolders(const DownloadFolders&) = delete;
    DownloadFolders& operator=(const DownloadFolders&) = delete;
    ~DownloadFolders() {
        try {
            for (auto it = used_.rbegin(); it != used_.rend(); ++it) RemoveEmptiedFolders(cacheDir_, *it);
        } catch (...) {
            // Leftover empty folders are harmless; a destructor must not throw.
        }
    }
    void Used(const fs::path& file) { used_.insert(file.parent_path()); }

private:
    const fs::path& cacheDir_;
    std::set<fs::path> used_;
};

bool ReadWholeFile(const fs::path& file, std::string& bytes) {
    std::ifstream in(file, std::ios::binary);
    if (!in.is_open()) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace

ErrorCode ManifestHandler::DownloadManifest(const std::wstring& manifestUrl, UpdateManifest& out) {
    kManifestLog.Debug("Downloading manifest from: " + WideToUtf8Lossy(manifestUrl));
    if (const ErrorCode result = PrepareCacheFolder(cacheDir_); !Succeeded(result)) return result;

    const fs::path manifestFile = TemporaryPath("manifest.json");
    bool tooLarge = false;
    const ErrorCode downloaded = httpClient_.DownloadFile(manifestUrl, manifestFile, ManifestDownloadOptions(&tooLarge));
    if (tooLarge) {
        return Fail(ErrorCode::ManifestParseFailed,
                    "Manifest is larger than " + std::to_string(kMaxManifestBytes) + " bytes");
    }
    if (!Succeeded(downloaded)) return Fail(downloaded, "Failed to download manifest");

    std::string text;
    if (!ReadWholeFile(manifestFile, text)) {
        return Fail(ErrorCode::FileAccessDenied, "Failed to open downloaded manifest file");
    }
    // A manifest that does not parse stays for the cache cleanup.
    if (const ErrorCode parsed = ParseManifestJson(text, out); !Succeeded(parsed)) return parsed;
    fs::remove(manifestFile);
    kManifestLog.Info("Manifest downloaded and parsed successfully");
    return ErrorCode::Success;
}

ErrorCode ManifestHandler::BuildFileUrl(const ManifestFileEntry& entry, const std::string& baseUrl, std::wstring& url) {
    if (!entry.downloadUrl.empty()) {
        url = Utf8ToWide(entry.downloadUrl);
        return ErrorCode::Success;
    }
    std::string text = baseUrl;
    if (!text.empty() && text.back() != '/') text += '/';
    text += "files/" + entry.WrittenSha256().substr(0, 8) + "/" + entry.relativePath;
    url = Utf8ToWide(text);
    return ErrorCode::Success;
}

ErrorCode ManifestHandler::DownloadFile(const ManifestFileEntry& entry, const fs::path& dest,
                                        const std::string& manifestBaseUrl) {
    kManifestLog.Debug("Downloading file: " + entry.relativePath);
    const std::string baseUrl = manifestBaseUrl.empty() ? WideToUtf8(cdnBaseUrl_) : manifestBaseUrl;
    std::wstring url;
    BuildFileUrl(entry, baseUrl, url);
    return DownloadWithRetry(url, dest, entry.sha256, entry.size);
}

ErrorCode ManifestHandler::DownloadWithRetry(const std::wstring& url, const fs::path& dest,
                                             const std::string& expectedSha256) {
    return DownloadWithRetry(url, dest, expectedSha256, std::nullopt);
}

ErrorCode ManifestHandler::DownloadWithRetry(const std::wstring& url, const fs::path& dest,
                                             const std::string& expectedSha256, std::optional<uint64_t> expectedSize) {
    FileOperations files;
    for (int attempt = 1; attempt <= kDownloadAttempts; ++attempt) {
        kManifestLog.Debug("Download attempt " + std::to_string(attempt) + " for: " + WideToUtf8Lossy(url));
        DownloadOptions options = FileDownloadOptions(attempt);
        std::string digest;
        if (!expectedSha256.empty()) options.sha256 = &digest;

        // A partial file that already holds the whole size is either complete and correct, or has to go.
        const auto complete = [&] {
            return !expectedSha256.empty() && Succeeded(files.VerifyFileIntegrity(WidePath(dest), expectedSha256));
        };
        if (options.resume && SettleFullSizePartial(dest, expectedSize, complete, kComponent)) return ErrorCode::Success;
        const bool resumed = options.resume && PartialDownloadSize(dest) > 0;

        const ErrorCode result = httpClient_.DownloadFile(url, dest, options);
        if (Succeeded(result)) {
            if (expectedSha256.empty()) return ErrorCode::Success;
            if (Succeeded(VerifyDownload(files, dest, expectedSha256, digest))) return ErrorCode::Success;
            kManifestLog.Warning("Hash verification failed, retrying...");
            fs::remove(dest);
        } else if (resumed && result == ErrorCode::HttpError) {
            // The server would not continue this file (416 and the like): start afresh.
            DiscardPartialDownload(dest, kComponent);
        }
        if (attempt < kDownloadAttempts) Sleep(kRetryPause);
    }
    return Fail(ErrorCode::DownloadFailed, "Download failed after " + std::to_string(kDownloadAttempts) + " attempts");
}

ErrorCode ManifestHandler::DownloadAllFiles(const UpdateManifest& manifest) {
    kManifestLog.Info("Downloading all files from manifest");
    cacheVerified_ = false;  // what comes into the cache now is verified again before it is installed
    if (const ErrorCode result = PrepareCacheFolder(cacheDir_); !Succeeded(result)) return result;
    DownloadFolders folders(cacheDir_);
    int32_t downloaded = 0;
    uint64_t bytes = 0;
    for (const ManifestFileEntry& entry : manifest.files) {
        if (!entry.isRequired) {
            kManifestLog.Debug("Skipping optional file: " + entry.relativePath);
            continue;
        }
        fs::path cachePath;
        if (Succeeded(GetCachePath(entry.sha256, cachePath)) && Succeeded(VerifyFile(entry, cachePath))) {
            kManifestLog.Debug("Using cached file: " + entry.relativePath);
            bytes += entry.size;
            UpdateProgress(downloaded, bytes, entry.relativePath);
            continue;
        }

        const fs::path temp = TemporaryPath(NativePathUtf8(entry.relativePath));
        UpdateProgress(downloaded, bytes, entry.relativePath);
        folders.Used(temp);
        if (const ErrorCode result = DownloadFile(entry, temp, manifest.baseUrl); !Succeeded(result)) {
            return Fail(result, "Failed to download file: " + entry.relativePath);
        }
        if (!Succeeded(MoveDownloadIntoCache(cacheDir_, temp, entry.sha256))) {
            kManifestLog.Warning("Failed to store file in cache: " + entry.relativePath);
        }
        ++downloaded;
        bytes += entry.size;
        UpdateProgress(downloaded, bytes, entry.relativePath);

        if (progressCallback_ && !progressCallback_(progress_)) {
            kManifestLog.Info("Download cancelled by user");
            return ErrorCode::Cancelled;
        }
        if (JsonlLogger::Instance().IsPipeLost()) {
            kManifestLog.Warning("Launcher progress pipe lost; abandoning download");
            return ErrorCode::ProgressPipeClosed;
        }
    }
    kManifestLog.Info("All files downloaded successfully");
    return ErrorCode::Success;
}

}  // namespace zuvelo
