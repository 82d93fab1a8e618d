#include "manifest/target_writes.h"

#include <optional>

#include "common/descriptor_copy.h"
#include "common/file_operations.h"
#include "common/jsonl_logger.h"
#include "common/paths.h"
#include "common/text.h"
#include "manifest/manifest_handler.h"
#include "manifest/manifest_log.h"
#include "platform/file_io.h"
#include "platform/staged_file.h"

namespace zuvelo {

namespace {

namespace fs = std::filesystem;

// A new file is never writable by others, whatever the source allowed.
constexpr uint32_t kNewFileModeMask = 0755;

// One copy from an open source to an open target, and the names its messages use.
struct CopyPlan {
    int sourceFd = -1;
    const fs::path& sourcePath;
    const fs::path& destPath;
    uint64_t size = 0;
    bool chunked = false;

    CopyPlan(int fd, const fs::path& source, const fs::path& dest, uint64_t bytes)
        : sourceFd(fd),
          sourcePath(source),
          destPath(dest),
          size(bytes),
          chunked(bytes > FileOperations::kChunkedCopyThreshold) {}
};

// Logged as the by-name copy logs it: a large copy names the call that failed.
ErrorCode ReportCopyFailure(const CopyPlan& plan, const char* chunkedCall, uint32_t err) {
    if (plan.chunked) {
        FileOperations::LogFileError(chunkedCall, WidePath(plan.destPath), err);
    } else {
        FileOperations::LogFileError("CopyFileEx", WidePath(plan.sourcePath), err);
    }
    return FileOperations::MapWin32Error(err);
}

// Copies and hashes the whole source into targetFd (flushed when large).
ErrorCode CopyInto(const CopyPlan& plan, int targetFd, DescriptorCopyOutcome& outcome) {
    DescriptorCopy run;
    run.source = plan.sourceFd;
    run.target = targetFd;
    run.total = plan.size;
    run.stopAfter = plan.size;
    run.chunked = plan.chunked;
    run.verify = true;
    run.flush = plan.chunked;  // FlushFileBuffers of the chunked path
    outcome = CopyBetweenDescriptors(run);
    using Kind = DescriptorCopyOutcome::Kind;
    switch (outcome.kind) {
        case Kind::ReadFailed:
            FileOperations::LogFileError("ReadFile", WidePath(plan.sourcePath), outcome.win32Error);
            return ErrorCode::FileCopyFailed;
        case Kind::WriteFailed: return ReportCopyFailure(plan, "WriteFile", outcome.win32Error);
        case Kind::FlushFailed: return ReportCopyFailure(plan, "FlushFileBuffers", outcome.win32Error);
        case Kind::Cancelled: return ErrorCode::Cancelled;
        case Kind::Done: break;
    }
    return ErrorCode::Success;
}

// The copy of a whole file: every byte of the source, and the target holds them.
ErrorCode CheckWhole(const CopyPlan& plan, const DescriptorCopyOutcome& outcome) {
    if (outcome.copied == plan.size && outcome.hashesMatch) return ErrorCode::Success;
    LogManifest(LogLevel::Error, "Copy incomplete: wrote " + std::to_string(outcome.copied) + " of " +
                                     std::to_string(plan.size) + " bytes of " + ToUtf8Lossy(plan.sourcePath));
    return ErrorCode::FileCopyFailed;
}

void ReportCopied(const CopyPlan& plan) {
    if (!plan.chunked) JsonlLogger::Instance().LogFileOperation("copy", WidePath(plan.destPath), true, 0, false);
}

// Owner, group and permission bits as given; where the owner cannot be
// changed (not the superuser), at least the bits.
void GiveAttributes(int fd, const platform::FileStat& like, uint32_t mode) {
    if (platform::SetOwnerAndMode(fd, like.owner, like.group, mode) != 0) platform::SetModeOf(fd, mode);
}

// A replaced file keeps its owner, group and bits (made writable, as the copy
// over it used to); a new file takes the source's bits.
void GiveInstalledAttributes(const std::optional<platform::FileStat>& existing, const platform::FileStat& source,
                             int staged) {
    if (existing) {
        GiveAttributes(staged, *existing, existing->IsReadOnly() ? existing->mode | 0200 : existing->mode);
    } else {
        platform::SetModeOf(staged, source.mode & kNewFileModeMask);
    }
}

// Renames the staged file over relativePath, making its folders only now.
ErrorCode MoveIntoPlace(TargetFolder& target, const std::string& relativePath, platform::StagedFile& staged,
                        const CopyPlan& plan, uint32_t& renameError) {
    platform::UniqueFd folder;
    if (const ErrorCode code = target.OpenParentFolder(relativePath, folder); code != ErrorCode::Success) return code;
    if ((renameError = staged.CommitAs(folder.get(), FileNameOf(relativePath))) != 0) {
        return ReportCopyFailure(plan, "CreateFile (target)", renameError);
    }
    return ErrorCode::Success;
}



// The staged copy must be exactly what the manifest describes, not merely what the source held.
ErrorCode CheckAgainstEntry(const ManifestFileEntry& entry, const CopyPlan& plan, const DescriptorCopyOutcome& outcome) {
    if (outcome.copied != entry.size) return ReportSizeMismatch(entry, outcome.copied);
    if (!outcome.hashesMatch) return ReportHashMismatch(entry, ErrorCode::HashCalculationFailed);
    const ErrorCode checked = FileOperations().VerifyFileDigest(WidePath(plan.sourcePath), entry.sha256, outcome.sha256);
    return Succeeded(checked) ? checked : ReportHashMismatch(entry, checked);
}

// The source as opened; with the messages of verifying a file when it was not checked before.
ErrorCode CheckSource(const ManifestFileEntry& entry, int sourceFd, const fs::path& sourcePath,
                      bool verifiedMessages, platform::FileStat& source) {
    if (verifiedMessages) LogManifest(LogLevel::Debug, "Verifying file: " + entry.relativePath);
    if (platform::StatFd(sourceFd, source) != 0 || !source.IsRegular()) {
        LogManifest(LogLevel::Error, "File not found: " + ToUtf8Lossy(sourcePath));
        return ErrorCode::FileNotFound;
    }
    if (verifiedMessages && source.size != entry.size) return ReportSizeMismatch(entry, source.size);
    return ErrorCode::Success;
}

// Copies into a staged file in the target folder, checks it against the entry,
// gives it its attributes and renames it over the target: nothing is made
// below the target for a file that is not right.
ErrorCode StageAndReplace(ManifestHandler& handler, TargetFolder& target, const ManifestFileEntry& entry,
                          const CopyPlan& plan, const platform::FileStat& source, bool verifiedMessages) {
    std::optional<platform::FileStat> existing;
    if (const ErrorCode code = target.FindExisting(entry.relativePath, existing); code != ErrorCode::Success) {
        return code;
    }
    const auto copyFailed = [&](ErrorCode code) {
        LogManifest(LogLevel::Error, "Failed to copy file to target: " + entry.relativePath);
        return code;
    };
    platform::StagedFile staged;
    if (const uint32_t err = staged.Create(target.RootFd(), 0600)) {
        return copyFailed(ReportCopyFailure(plan, "CreateFile (target)", err));
    }
    GiveInstalledAttributes(existing, source, staged.fd());

    DescriptorCopyOutcome outcome;
    if (const ErrorCode code = CopyInto(plan, staged.fd(), outcome); code != ErrorCode::Success) return copyFailed(code);
    if (const ErrorCode code = CheckAgainstEntry(entry, plan, outcome); code != ErrorCode::Success) return code;
    if (verifiedMessages) LogManifest(LogLevel::Debug, "File verification successful: " + entry.relativePath);

    if (!entry.permissions.empty() &&
        handler.SetPermissions(staged.fd(), plan.destPath, entry.permissions) != ErrorCode::Success) {
        LogManifest(LogLevel::Warning, "Failed to set permissions for: " + entry.relativePath);
    }
    platform::CopyFileTimes(plan.sourceFd, staged.fd());  // as with preserved timestamps: failures ignored
    uint32_t renameError = 0;
    const ErrorCode moved = MoveIntoPlace(target, entry.relativePath, staged, plan, renameError);
    if (moved != ErrorCode::Success) return renameError != 0 ? copyFailed(moved) : moved;
    ReportCopied(plan);
    return ErrorCode::Success;
}

}  // namespace

ErrorCode ManifestHandler::InstallOpenFile(const ManifestFileEntry& entry, int sourceFd, const fs::path& sourcePath,
                                           const std::wstring& targetRoot, bool verifiedMessages) {
    platform::FileStat source;
    if (const ErrorCode code = CheckSource(entry, sourceFd, sourcePath, verifiedMessages, source);
        code != ErrorCode::Success) {
        return code;
    }
    LogManifest(LogLevel::Debug, "Installing file: " + entry.relativePath + " -> " + WideToUtf8Lossy(targetRoot));
    if (!IsSafeRelativePathUtf8(entry.relativePath)) {
        LogManifest(LogLevel::Error, "Refusing unsafe install path");
        return ErrorCode::InvalidArguments;
    }
    if (const ErrorCode code = OpenTarget(targetRoot, true); code != ErrorCode::Success) return code;
    const fs::path dest = target_.PathOf(entry.relativePath);
    const CopyPlan plan(sourceFd, sourcePath, dest, source.size);
    if (const ErrorCode code = StageAndReplace(*this, target_, entry, plan, source, verifiedMessages);
        code != ErrorCode::Success) {
        return code;
    }
    JsonlLogger::Instance().LogStatus("file:copy", "completed", entry.relativePath);
    if (entry.isExecutable && !Succeeded(ProcessExecutable(dest))) {
        LogManifest(LogLevel::Warning, "Failed to process executable: " + entry.relativePath);
    }
    LogManifest(LogLevel::Debug, "File installed successfully: " + entry.relativePath);
    return ErrorCode::Success;
}

ErrorCode SaveOpenFile(int sourceFd, const fs::path& sourcePath, const fs::path& dest) {
    platform::FileStat source;
    if (const uint32_t err = platform::StatFd(sourceFd, source)) {
        FileOperations::LogFileError("GetFileSizeEx", WidePath(sourcePath), err);
        return FileOperations::MapWin32Error(err);
    }
    if (const ErrorCode code = FileOperations().EnsureDirectory(WidePath(dest.parent_path()));
        code != ErrorCode::Success) {
        return code;
    }
    const CopyPlan plan(sourceFd, sourcePath, dest, source.size);
    platform::UniqueFd out;
    if (const uint32_t err = platform::OpenForWriting(dest, true, 0600, out)) {
        return ReportCopyFailure(plan, "CreateFile (target)", err);
    }
    GiveAttributes(out.get(), source, source.mode);
    DescriptorCopyOutcome outcome;
    ErrorCode code = CopyInto(plan, out.get(), outcome);
    if (code == ErrorCode::Success) code = CheckWhole(plan, outcome);
    if (code != ErrorCode::Success) {
        platform::RemoveIfStillSame(dest, out.get());
        return code;
    }
    platform::CopyFileTimes(sourceFd, out.get());
    ReportCopied(plan);
    return ErrorCode::Success;
}

ErrorCode RestoreSavedFile(TargetFolder& target, const std::string& relativePath, const fs::path& saved) {
    const fs::path dest = target.PathOf(relativePath);
    platform::UniqueFd source;
    platform::FileStat st;
    uint32_t err = platform::OpenForReading(saved, source);
    if (err == 0) err = platform::StatFd(source.get(), st);
    const CopyPlan plan(source.get(), saved, dest, st.size);
    if (err != 0) return ReportCopyFailure(plan, "CreateFile (source)", err);

    platform::StagedFile staged;
    if ((err = staged.Create(target.RootFd(), 0600)) != 0) return ReportCopyFailure(plan, "CreateFile (target)", err);
    GiveAttributes(staged.fd(), st, st.mode);
    DescriptorCopyOutcome outcome;
    if (const ErrorCode code = CopyInto(plan, staged.fd(), outcome); code != ErrorCode::Success) return code;
    if (const ErrorCode code = CheckWhole(plan, outcome); code != ErrorCode::Success) return code;
    platform::CopyFileTimes(source.get(), staged.fd());
    if (const ErrorCode code = MoveIntoPlace(target, relativePath, staged, plan, err); code != ErrorCode::Success) {
        return code;
    }
    ReportCopied(plan);
    return ErrorCode::Success;
}

}  // namespace zuvelo
