#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "common/file_operations.h"
#include "common/jsonl_logger.h"
#include "common/paths.h"
#include "common/text.h"
#include "manifest/manifest_handler.h"
#include "manifest/manifest_log.h"
#include "platform/file_io.h"

namespace zuvelo {

namespace {

namespace fs = std::filesystem;

// The digest of zero bytes: hashing an empty file yields no text.
constexpr const char* kEmptySha256 = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

ErrorCode Fail(ErrorCode code, const std::string& message) {
    kManifestLog.Error(message);
    return code;
}

bool IsExistingFile(const fs::path& path) {
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    return !ec && fs::exists(status) && !fs::is_directory(status);
}

// The size and digest a file was found with, against its entry.
ErrorCode CheckSizeAndDigest(const ManifestFileEntry& entry, FileOperations& files, const std::wstring& widePath,
                             uint64_t size, const std::string& digest) {
    if (size != entry.size) return ReportSizeMismatch(entry, size);
    // Hashing that failed during the look-up is tried again, which reports why.
    const std::string actual = size == 0 ? kEmptySha256 : digest;
    const ErrorCode checked = actual.empty() ? files.VerifyFileIntegrity(widePath, entry.sha256)
                                             : files.VerifyFileDigest(widePath, entry.sha256, actual);
    if (!Succeeded(checked)) return ReportHashMismatch(entry, checked);
    kManifestLog.Debug("File verification successful: " + entry.relativePath);
    return ErrorCode::Success;
}

// The regular file at path, opened for reading; false for anything else (the by-name
// steps then say what it is).
bool OpenRegularFile(const fs::path& path, platform::UniqueFd& file) {
    platform::FileStat st;
    return platform::OpenForReading(path, file) == 0 && platform::StatFd(file.get(), st) == 0 && st.IsRegular();
}

// VerifyFile by the file's name, for what cannot be opened as a regular file: the
// look-ups then say what it is and report why.
ErrorCode VerifyFileByName(const ManifestFileEntry& entry, const fs::path& file) {
    kManifestLog.Debug("Verifying file: " + entry.relativePath);
    if (!IsExistingFile(file)) return Fail(ErrorCode::FileNotFound, "File not found: " + ToUtf8Lossy(file));
    // The information look-up hashes the file already; that digest is the one
    // compared, so the bytes are read once.
    FileOperations files;
    FileInfo info;
    const std::wstring widePath = WidePath(file);
    if (const ErrorCode result = files.GetFileInfo(widePath, info); !Succeeded(result)) return result;
    return CheckSizeAndDigest(entry, files, widePath, info.size, info.sha256);
}

}  // namespace

ErrorCode ManifestHandler::ProcessManifestFiles(const UpdateManifest& manifest, const std::wstring& targetPath) {
    const auto count = static_cast<int32_t>(manifest.files.size());
    kManifestLog.Info("Processing " + std::to_string(count) + " files from manifest");
    ResetProgress(count, manifest.totalSize);
    if (const ErrorCode result = OpenTarget(targetPath, true); !Succeeded(result)) return result;
    if (const ErrorCode result = DownloadAllFiles(manifest); !Succeeded(result)) return result;
    if (const ErrorCode result = VerifyAllFiles(manifest); !Succeeded(result)) return result;
    if (const ErrorCode result = InstallAllFiles(manifest, targetPath); !Succeeded(result)) return result;
    UpdateProgress(progress_.totalFiles, progress_.totalBytes, "");
    kManifestLog.Info("All manifest files processed successfully");
    return ErrorCode::Success;
}

ErrorCode ManifestHandler::VerifyAllFiles(const UpdateManifest& manifest) {
    kManifestLog.Info("Verifying all downloaded files");
    cacheVerified_ = false;
    for (const ManifestFileEntry& entry : manifest.files) {
        if (!entry.isRequired) continue;
        // Opened once: what is found in the cache is what is verified.
        fs::path cachePath = CachePathOf(entry.sha256);
        platform::UniqueFd file;
        ErrorCode result = ErrorCode::Success;
        if (OpenRegularFile(cachePath, file)) {
            result = VerifyOpenFile(entry, file.get(), cachePath);
        } else if (!Succeeded(GetCachePath(entry.sha256, cachePath))) {
            return Fail(ErrorCode::FileNotFound, "File not found in cache: " + entry.relativePath);
        } else {
            result = VerifyFile(entry, cachePath);
        }
        if (!Succeeded(result)) return Fail(result, "File verification failed: " + entry.relativePath);
    }
    kManifestLog.Info("All files verified successfully");
    cacheVerified_ = true;
    return ErrorCode::Success;
}

ErrorCode ManifestHandler::InstallAllFiles(const UpdateManifest& manifest, const std::wstring& targetPath) {
    kManifestLog.Info("Installing all files to target directory");
    // The cache is this run's own, under the update lock, and every file in it was just verified.
    const InstallCheck check = cacheVerified_ ? InstallCheck::VerifiedCache : InstallCheck::Digest;
    const TargetPhase phase(*this);
    int32_t installed = 0;
    for (const ManifestFileEntry& entry : manifest.files) {
        if (!entry.isRequired) continue;
        fs::path cachePath = CachePathOf(entry.sha256);
        platform::UniqueFd file;
        ErrorCode result = ErrorCode::Success;
        if (OpenRegularFile(cachePath, file)) {
            result = InstallOpenFile(entry, file.get(), cachePath, targetPath, check);
        } else if (!Succeeded(GetCachePath(entry.sha256, cachePath))) {
            return Fail(ErrorCode::FileNotFound, "File not found for installation: " + entry.relativePath);
        } else {
            result = InstallFileAs(entry, cachePath, targetPath, check);
        }
        if (!Succeeded(result)) return Fail(result, "Failed to install file: " + entry.relativePath);
        UpdateFileProgress(entry.relativePath, entry.size, entry.size);
        ++installed;
    }
    kManifestLog.Info("All files installed successfully: " + std::to_string(installed) + " files");
    return ErrorCode::Success;
}

ErrorCode ManifestHandler::VerifyFile(const ManifestFileEntry& entry, const fs::path& file) {
    // Opened once: the file looked up is the file hashed.
    platform::UniqueFd opened;
    if (!OpenRegularFile(file, opened)) return VerifyFileByName(entry, file);
    return VerifyOpenFile(entry, opened.get(), file);
}

ErrorCode ManifestHandler::VerifyOpenFile(const ManifestFileEntry& entry, int file, const fs::path& path) {
    kManifestLog.Debug("Verifying file: " + entry.relativePath);
    FileOperations files;
    const std::wstring widePath = WidePath(path);
    uint64_t size = 0;
    std::string digest;
    if (const ErrorCode result = files.GetOpenFileDigest(file, widePath, size, digest); !Succeeded(result)) {
        return result;
    }
    return CheckSizeAndDigest(entry, files, widePath, size, digest);
}

ErrorCode ManifestHandler::InstallFile(const ManifestFileEntry& entry, const fs::path& source,
                                       const std::wstring& targetRoot) {
    return InstallFileAs(entry, source, targetRoot, InstallCheck::Digest);
}

ErrorCode ManifestHandler::InstallFileAs(const ManifestFileEntry& entry, const fs::path& source,
                                         const std::wstring& targetRoot, InstallCheck check) {
    platform::UniqueFd file;
    if (const uint32_t err = platform::OpenForReading(source, file)) {
        kManifestLog.Debug("Installing file: " + entry.relativePath + " -> " + WideToUtf8Lossy(targetRoot));
        FileOperations::LogFileError("CopyFileEx", WidePath(source), err);
        return Fail(FileOperations::MapWin32Error(err), "Failed to copy file to target: " + entry.relativePath);
    }
    return InstallOpenFile(entry, file.get(), source, targetRoot, check);
}

ErrorCode ManifestHandler::OpenTarget(const std::wstring& targetPath, bool create) {
    if (phaseTarget_ && !phaseTarget_->empty() && *phaseTarget_ == targetPath) return ErrorCode::Success;
    const ErrorCode code = target_.IsOpenAt(targetPath) ? ErrorCode::Success : target_.Open(targetPath, create);
    if (phaseTarget_ && code == ErrorCode::Success) *phaseTarget_ = targetPath;
    return code;
}

ErrorCode ManifestHandler::EnsureParentDirectory(const std::wstring& root, const std::string& relativePath) {
    if (!IsSafeRelativePathUtf8(relativePath)) return ErrorCode::InvalidArguments;
    if (const ErrorCode code = OpenTarget(root, true); !Succeeded(code)) return code;
    int folder = -1;
    return target_.OpenParentFolder(relativePath, folder);
}

ErrorCode ManifestHandler::SetPermissions(int file, uint32_t mode, const fs::path& shown,
                                          const std::string& permissions) {
    kManifestLog.Debug("Setting permissions " + permissions + " for: " + ToUtf8Lossy(shown));
    const bool readOnly = permissions == "444";
    if (!readOnly && permissions != "755" && permissions != "644") return ErrorCode::Success;
    const uint32_t wanted = platform::ReadOnlyMode(mode, readOnly);
    if (wanted == mode) return ErrorCode::Success;  // as it is already
    if (const uint32_t err = platform::SetModeOf(file, wanted)) {
        FileOperations::LogFileError("SetFileAttributes", WidePath(shown), err);
        return FileOperations::MapWin32Error(err);
    }
    return ErrorCode::Success;
}

ErrorCode ManifestHandler::ProcessExecutable(const fs::path& file) {
    kManifestLog.Debug("Processing executable file: " + ToUtf8Lossy(file));
    const std::string extension = file.extension().string();
    if (extension != ".exe" && extension != ".dll") return ErrorCode::Success;
    // An unsigned executable is installed all the same; it is only reported.
    if (!Succeeded(FileOperations().VerifyFileSignature(WidePath(file)))) {
        kManifestLog.Warning("Executable signature verification failed: " + ToUtf8Lossy(file));
    }
    return ErrorCode::Success;
}

}  // namespace zuvelo
