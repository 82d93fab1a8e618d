#include <filesystem>
#include <string>

#include "common/error_codes.h"
#include "common/file_operations.h"
#include "common/jsonl_logger.h"
#include "common/partial_download.h"
#include "common/paths.h"
#include "common/private_temp_folder.h"
#include "common/text.h"
#include "common/tree_removal.h"
#include "install/prereq_installer.h"
#include "install/prereq_log.h"
#include "platform/file_io.h"
#include "platform/private_folder.h"

namespace zuvelo {

namespace {

namespace fs = std::filesystem;

constexpr const char* kComponent = "PrereqInstaller";
constexpr PrivateFolderRole kDownloadFolder{kPrereqLog, "download folder"};
constexpr int kDownloadAttempts = 3;
constexpr uint32_t kDownloadTimeoutMs = 600000;
// A downloaded installer runs as a downloaded .exe would.
constexpr uint32_t kInstallerMode = 0700;

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

std::wstring PrerequisiteUrl(const std::wstring& cdnUrl, const PrerequisiteInfo& row) {
    if (!row.downloadUrl.empty()) return row.downloadUrl;
    std::wstring url = cdnUrl;
    if (!url.empty() && url.back() != L'/') url += L'/';
    return url + L"prerequisites/" + row.installerFileName;
}

ErrorCode MakeRunnable(const fs::path& installer) {
    if (const uint32_t err = platform::SetMode(installer, kInstallerMode)) {
        FileOperations::LogFileError("SetFileAttributes", WidePath(installer), err);
        return FileOperations::MapWin32Error(err);
    }
    return ErrorCode::Success;
}

}  // namespace

ErrorCode PrereqInstaller::PrepareDownloadDirectory() {
    bool replaced = false;
    return PreparePrivateFolderOrReplacement(downloadDirectory_, replaced, kDownloadFolder);
}

ErrorCode PrereqInstaller::DownloadMissingPrerequisites() {
    kPrereqLog.Info("Downloading missing prerequisites");
    if (const ErrorCode result = PrepareDownloadDirectory(); !Succeeded(result)) {
        kPrereqLog.Error("Failed to create download directory: " + ToUtf8Lossy(downloadDirectory_));
        return result;
    }
    for (const PrerequisiteInfo& row : prerequisites_) {
        if (!row.required || row.installed) continue;
        const std::string name = WideToUtf8Lossy(row.name);
        kPrereqLog.Info("Downloading: " + name);
        JsonlLogger::Instance().LogProgress("download:" + name, 0, "Starting download");
        const fs::path destination = downloadDirectory_ / NativePath(row.installerFileName);
        if (const ErrorCode result = DownloadPrerequisite(row.type, destination); !Succeeded(result)) {
            kPrereqLog.Error("Failed to download: " + name);
            return result;
        }
        JsonlLogger::Instance().LogProgress("download:" + name, 100, "Download complete");
    }
    kPrereqLog.Info("All prerequisites downloaded successfully");
    return ErrorCode::Success;
}

ErrorCode PrereqInstaller::DownloadPrerequisite(PrerequisiteType type, const fs::path& destination) {
    const PrerequisiteInfo* row = FindRow(type);
    if (!row) {
        kPrereqLog.Error("Prerequisite type not found: " + PrerequisiteTypeNumber(type));
        return ErrorCode::InvalidArguments;
    }
    const std::optional<uint64_t> size = row->expectedSize ? std::optional<uint64_t>(row->expectedSize) : std::nullopt;
    const ErrorCode result = DownloadWithRetry(PrerequisiteUrl(cdnUrl_, *row), destination, row->expectedSha256, size);
    return Succeeded(result) ? MakeRunnable(destination) : result;
}

ErrorCode PrereqInstaller::DownloadWithRetry(const std::wstring& url, const fs::path& destination,
                                             const std::string& expectedSha256, std::optional<uint64_t> expectedSize) {
    kPrereqLog.Debug("Downloading with retry: " + WideToUtf8Lossy(url));
    for (int attempt = 1; attempt <= kDownloadAttempts; ++attempt) {
        kPrereqLog.Debug("Download attempt " + std::to_string(attempt) + " of " + std::to_string(kDownloadAttempts));
        if (TryDownload(url, destination, expectedSha256, expectedSize, attempt > 1)) {
            kPrereqLog.Info("Download successful and validated");
            return ErrorCode::Success;
        }
        if (attempt < kDownloadAttempts) {
            kPrereqLog.Info("Waiting before retry...");
            Sleep(options_.retryPause);
        }
    }
    kPrereqLog.Error("Download failed after " + std::to_string(kDownloadAttempts) + " attempts");
    return ErrorCode::DownloadFailed;
}

bool PrereqInstaller::TryDownload(const std::wstring& url, const fs::path& destination,
                                  const std::string& expectedSha256, std::optional<uint64_t> expectedSize, bool resume) {
    // A partial file that already holds the whole size is either complete and correct, or has to go.
    // Only a hash can say which: without one the table's size is an estimate the file may pass.
    const bool settled = resume && !expectedSha256.empty() &&
                         SettleFullSizePartial(destination, expectedSize,
                                               [&] { return ValidateDownload(destination, expectedSha256); },
                                               kComponent);
    if (settled) return true;
    const bool resumed = resume && PartialDownloadSize(destination) > 0;

    DownloadOptions options;
    options.timeoutMs = kDownloadTimeoutMs;
    options.resume = resume;
    std::string digest;
    if (!expectedSha256.empty()) options.sha256 = &digest;
    const ErrorCode result = httpClient_.DownloadFile(url, destination, options);
    if (!Succeeded(result)) {
        kPrereqLog.Warning("Download failed: " + std::to_string(ToInt(result)));
        // The server would not continue this file (416 and the like): start afresh.
        if (resumed && result == ErrorCode::HttpError) DiscardPartialDownload(destination, kComponent);
        return false;
    }
    if (ValidateDownload(destination, expectedSha256, digest)) return true;
    kPrereqLog.Warning("Download validation failed, retrying...");
    fs::remove(destination);
    return false;
}

bool PrereqInstaller::ValidateDownload(const fs::path& file, const std::string& expectedSha256,
                                       const std::string& digest) {
    if (expectedSha256.empty()) {
        kPrereqLog.Warning("No hash provided for validation, skipping");
        return true;
    }
    std::string actual = digest;
    if (actual.empty() && !Succeeded(FileOperations().CalculateSha256(WidePath(file), actual))) {
        kPrereqLog.Error("Failed to calculate file hash for validation");
        return false;
    }
    return MatchesExpectedHash(expectedSha256, actual);
}

bool PrereqInstaller::MatchesExpectedHash(const std::string& expectedSha256, const std::string& actual) {
    if (Lower(expectedSha256) == Lower(actual)) {
        kPrereqLog.Debug("Download validation successful");
        return true;
    }
    kPrereqLog.Error("Hash mismatch. Expected: " + expectedSha256 + ", Actual: " + actual);
    return false;
}

ErrorCode PrereqInstaller::CleanupDownloadDirectory() {
    kPrereqLog.Debug("Cleaning up download directory");
    uint32_t error = 0;
    const platform::PrivateFolderState state = platform::InspectPrivateFolder(downloadDirectory_, error);
    if (state == platform::PrivateFolderState::Missing) return ErrorCode::Success;
    if (state != platform::PrivateFolderState::Usable && state != platform::PrivateFolderState::Failed) {
        // Someone else's: this run never used it.
        kPrereqLog.Debug(PrivateFolderRefusal(downloadDirectory_, state, kDownloadFolder));
        return ErrorCode::Success;
    }
    // Quietly, as the folder is the run's own: no file events. Nothing below is followed
    // through a link, and read-only files (which Windows will not delete as they are) go too.
    if (const SystemError error = RemoveTreeWithoutEvents(WidePath(downloadDirectory_))) {
        kPrereqLog.Warning("Failed to cleanup download directory: " + ToUtf8Lossy(FormatWin32Error(error.code())));
        return ErrorCode::DirectoryAccessDenied;
    }
    kPrereqLog.Info("Download directory cleaned up");
    return ErrorCode::Success;
}

}  // namespace zuvelo
