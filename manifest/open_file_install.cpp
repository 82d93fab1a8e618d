#include "manifest/open_file_install.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <system_error>

#include "common/file_operations.h"
#include "common/jsonl_logger.h"
#include "common/paths.h"
#include "common/text.h"
#include "manifest/manifest_handler.h"
#include "manifest/manifest_log.h"
#include "platform/file_io.h"
#include "platform/sha256.h"
#include "platform/staged_file.h"

namespace zuvelo {

namespace {

namespace fs = std::filesystem;

// Where a copy failed: the call the by-name copy names for large files, or a read of the source.
struct CopyFailure {
    const char* chunkedCall = "";
    uint32_t win32Error = 0;
    bool readError = false;
};

// One pass over the source: the bytes copied and their digest.
struct CopyResult {
    uint64_t copied = 0;
    std::string sha256;
    bool hashed = false;
};

ErrorCode SizeMismatch(const ManifestFileEntry& entry, uint64_t actual) {
    LogManifest(LogLevel::Error, "File size mismatch for " + entry.relativePath + ". Expected: " +
                                     std::to_string(entry.size) + ", Actual: " + std::to_string(actual));
    return ErrorCode::FileHashMismatch;
}

ErrorCode HashMismatch(const ManifestFileEntry& entry, ErrorCode code) {
    LogManifest(LogLevel::Error, "Hash verification failed for: " + entry.relativePath);
    return code;
}

// Logged as the by-name copy logs it; the result is the failure's code.
ErrorCode ReportCopyFailure(const CopyFailure& failure, bool chunked, const fs::path& source, const fs::path& dest,
                            const ManifestFileEntry& entry) {
    ErrorCode code = FileOperations::MapWin32Error(failure.win32Error);
    if (failure.readError) {
        FileOperations::LogFileError("ReadFile", WidePath(source), failure.win32Error);
        code = ErrorCode::FileCopyFailed;
    } else if (chunked) {
        FileOperations::LogFileError(failure.chunkedCall, WidePath(dest), failure.win32Error);
    } else {
        FileOperations::LogFileError("CopyFileEx", WidePath(source), failure.win32Error);
    }
    LogManifest(LogLevel::Error, "Failed to copy file to target: " + entry.relativePath);
    return code;
}

void ReportChunk(uint64_t copied, uint64_t total) {
    const int64_t percent = total == 0 ? 100 : static_cast<int64_t>(copied * 100 / total);
    JsonlLogger::Instance().LogProgress("file_copy", percent, "Copied " + std::to_string(copied) + " bytes");
}

// Copies until the end of the source, or until it holds more than expected.
std::optional<CopyFailure> CopyAndHash(int source, int target, uint64_t expected, bool chunked, CopyResult& result) {
    platform::Sha256 hash;
    const auto buffer = std::make_unique_for_overwrite<unsigned char[]>(FileOperations::kIoBlockSize);
    bool hashOk = hash.Ok();
    while (result.copied <= expected) {
        size_t got = 0;
        if (const uint32_t err = platform::ReadSome(source, buffer.get(), FileOperations::kIoBlockSize, got)) {
            return CopyFailure{"ReadFile", err, true};
        }
        if (got == 0) break;
        hashOk = hashOk && hash.Update(buffer.get(), got);
        if (const uint32_t err = platform::WriteFullyAt(target, buffer.get(), got, result.copied)) {
            return CopyFailure{"WriteFile", err};
        }
        result.copied += got;
        if (chunked) ReportChunk(result.copied, expected);
    }
    result.hashed = hashOk && hash.Finish(result.sha256);
    return std::nullopt;
}

void ClearReadOnlyTarget(const fs::path& dest) {
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(dest, ec);
    if (ec || !fs::is_regular_file(status)) return;
    constexpr fs::perms kWrite = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    if ((status.permissions() & kWrite) != fs::perms::none) return;
    if (FileOperations().SetPermissions(WidePath(dest), false) != ErrorCode::Success) {
        LogManifest(LogLevel::Warning, "Failed to clear read-only attribute of: " + ToUtf8Lossy(dest));
    }
}

// Steps after the copy, as for a file installed by name.
void FinishInstalledFile(ManifestHandler& handler, const ManifestFileEntry& entry, const fs::path& dest) {
    JsonlLogger::Instance().LogStatus("file:copy", "completed", entry.relativePath);
    if (!entry.permissions.empty() && handler.SetPermissions(dest, entry.permissions) != ErrorCode::Success) {
        LogManifest(LogLevel::Warning, "Failed to set permissions for: " + entry.relativePath);
    }
    if (entry.isExecutable && handler.ProcessExecutable(dest) != ErrorCode::Success) {
        LogManifest(LogLevel::Warning, "Failed to process executable: " + entry.relativePath);
    }
    LogManifest(LogLevel::Debug, "File installed successfully: " + entry.relativePath);
}

// Copies the open source beside dest and renames it over dest when it matches entry.
ErrorCode CopyOverTarget(const ManifestFileEntry& entry, int sourceFd, const platform::FileStat& source,
                         const fs::path& sourcePath, const fs::path& dest) {
    const bool chunked = source.size > FileOperations::kChunkedCopyThreshold;
    platform::StagedFile staged;
    if (const uint32_t err = staged.Create(dest.parent_path(), dest.filename().native(), source.mode)) {
        return ReportCopyFailure({"CreateFile (target)", err}, chunked, sourcePath, dest, entry);
    }
    CopyResult result;
    if (const auto failure = CopyAndHash(sourceFd, staged.fd(), entry.size, chunked, result)) {
        return ReportCopyFailure(*failure, chunked, sourcePath, dest, entry);
    }
    if (result.copied != entry.size) return SizeMismatch(entry, result.copied);
    if (!result.hashed) return HashMismatch(entry, ErrorCode::HashCalculationFailed);
    if (result.sha256 != entry.sha256) return HashMismatch(entry, ErrorCode::FileHashMismatch);
    LogManifest(LogLevel::Debug, "File verification successful: " + entry.relativePath);

    if (chunked) {
        if (const uint32_t err = platform::FlushFile(staged.fd())) {
            return ReportCopyFailure({"WriteFile", err}, chunked, sourcePath, dest, entry);
        }
    }
    platform::CopyFileTimes(sourceFd, staged.fd());  // as with preserved timestamps: failures ignored
    if (const uint32_t err = staged.CommitAs(dest)) {
        return ReportCopyFailure({"CreateFile (target)", err}, chunked, sourcePath, dest, entry);
    }
    if (!chunked) JsonlLogger::Instance().LogFileOperation("copy", WidePath(dest), true, 0, false);
    return ErrorCode::Success;
}

}  // namespace

ErrorCode InstallOpenFile(ManifestHandler& handler, const ManifestFileEntry& entry, int sourceFd,
                          const fs::path& sourcePath, const std::wstring& targetRoot) {
    LogManifest(LogLevel::Debug, "Verifying file: " + entry.relativePath);
    platform::FileStat source;
    if (platform::StatFd(sourceFd, source) != 0 || !source.IsRegular()) {
        LogManifest(LogLevel::Error, "File not found: " + ToUtf8Lossy(sourcePath));
        return ErrorCode::FileNotFound;
    }
    if (source.size != entry.size) return SizeMismatch(entry, source.size);

    LogManifest(LogLevel::Debug, "Installing file: " + entry.relativePath + " -> " + ToUtf8Lossy(targetRoot));
    if (!IsSafeRelativePathUtf8(entry.relativePath)) {
        LogManifest(LogLevel::Error, "Refusing unsafe install path");
        return ErrorCode::InvalidArguments;
    }
    if (const ErrorCode code = handler.EnsureParentDirectory(targetRoot, entry.relativePath);
        code != ErrorCode::Success) {
        return code;
    }
    const fs::path dest = NativePath(targetRoot) / NativePathUtf8(entry.relativePath);
    ClearReadOnlyTarget(dest);
    if (const ErrorCode code = CopyOverTarget(entry, sourceFd, source, sourcePath, dest); code != ErrorCode::Success) {
        return code;
    }
    FinishInstalledFile(handler, entry, dest);
    return ErrorCode::Success;
}

}  // namespace zuvelo
