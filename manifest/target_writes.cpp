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
#include "platform/open_beneath.h"
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
    bool digest = true;  // hashed while copied; else the system's copy, checked by size

    CopyPlan(int fd, const fs::path& source, const fs::path& dest, uint64_t bytes, bool withDigest = true)
        : sourceFd(fd),
          sourcePath(source),
          destPath(dest),
          size(bytes),
          chunked(bytes > FileOperations::kChunkedCopyThreshold),
          digest(withDigest) {}
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

// Copies the whole source into a new staged file in the folder open as folderFd
// (hashed as the plan asks, flushed when large), private until its attributes are given.
ErrorCode StageCopy(const CopyPlan& plan, int folderFd, platform::StagedFile& staged, DescriptorCopyOutcome& outcome) {
    constexpr uint32_t kStagedMode = 0600;
    DescriptorCopy run;
    run.source = plan.sourceFd;
    run.total = plan.size;
    run.stopAfter = plan.size;
    run.chunked = plan.chunked;
    run.verify = plan.digest;
    run.flush = plan.chunked;  // FlushFileBuffers of the chunked path
    outcome = CopyIntoStagedFile(run, folderFd, kStagedMode, staged);
    using Kind = DescriptorCopyOutcome::Kind;
    switch (outcome.kind) {
        case Kind::CreateFailed: return ReportCopyFailure(plan, "CreateFile (target)", outcome.win32Error);
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
    kManifestLog.Error("Copy incomplete: wrote " + std::to_string(outcome.copied) + " of " + std::to_string(plan.size) +
                       " bytes of " + ToUtf8Lossy(plan.sourcePath));
    return ErrorCode::FileCopyFailed;
}

void ReportCopied(const CopyPlan& plan) {
    if (!plan.chunked) JsonlLogger::Instance().LogFileOperation("copy", WidePath(plan.destPath), true, 0, false);
}

// Owner, group and permission bits as given; where the owner cannot be
// changed (not the superuser), at least the bits. 0 when the bits are set.
uint32_t GiveAttributes(int fd, const platform::FileStat& like, uint32_t mode) {
    if (platform::SetOwnerAndMode(fd, like.owner, like.group, mode) == 0) return 0;
    return platform::SetModeOf(fd, mode);
}

// A replaced file keeps its owner, group and bits (made writable, as the copy
// over it used to); a new file takes the source's bits. Returns the bits the
// staged file has now.
uint32_t GiveInstalledAttributes(const std::optional<platform::FileStat>& existing, const platform::FileStat& source,
                                 int staged) {
    uint32_t mode = source.mode & kNewFileModeMask;
    uint32_t err = 0;
    if (existing) {
        mode = existing->IsReadOnly() ? platform::ReadOnlyMode(existing->mode, false) : existing->mode;
        err = GiveAttributes(staged, *existing, mode);
    } else {
        err = platform::SetModeOf(staged, mode);
    }
    platform::FileStat now;
    if (err != 0 && platform::StatFd(staged, now) == 0) mode = now.mode;
    return mode;
}

// The regular file at name in the folder open as folderFd, if there is one.
std::optional<platform::FileStat> ExistingFile(int folderFd, const std::string& name) {
    platform::FileStat st;
    if (platform::StatEntry(folderFd, name, st) == 0 && st.IsRegular()) return st;
    return std::nullopt;
}

// Renames the staged file over its final name, in the folder it was staged in.
ErrorCode MoveIntoPlace(platform::StagedFile& staged, const std::string& relativePath, const CopyPlan& plan,
                        uint32_t& renameError) {
    if ((renameError = staged.CommitAs(FileNameOf(relativePath))) != 0) {
        return ReportCopyFailure(plan, "CreateFile (target)", renameError);
    }
    return ErrorCode::Success;
}

// The staged copy must be exactly what the manifest describes, not merely what the
// source held; without a digest (a source verified in this run) its size must be.
ErrorCode CheckAgainstEntry(const ManifestFileEntry& entry, const CopyPlan& plan, const DescriptorCopyOutcome& outcome,
                            int stagedFd) {
    if (outcome.copied != entry.size) return ReportSizeMismatch(entry, outcome.copied);
    if (!plan.digest) {
        platform::FileStat staged;
        if (platform::StatFd(stagedFd, staged) != 0 || staged.size != entry.size) {
            return ReportSizeMismatch(entry, staged.size);
        }
        return ErrorCode::Success;
    }
    if (!outcome.hashesMatch) return ReportHashMismatch(entry, ErrorCode::HashCalculationFailed);
    const ErrorCode checked = FileOperations().VerifyFileDigest(WidePath(plan.sourcePath), entry.sha256, outcome.sha256);
    return Succeeded(checked) ? checked : ReportHashMismatch(entry, checked);
}

// The source as opened; with the messages of verifying a file when it was not checked before.
ErrorCode CheckSource(const ManifestFileEntry& entry, int sourceFd, const fs::path& sourcePath, InstallCheck check,
                      platform::FileStat& source) {
    const bool verifiedMessages = check == InstallCheck::VerifyWhileCopying;
    if (verifiedMessages) kManifestLog.Debug("Verifying file: " + entry.relativePath);
    if (platform::StatFd(sourceFd, source) != 0 || !source.IsRegular()) {
        kManifestLog.Error("File not found: " + ToUtf8Lossy(sourcePath));
        return ErrorCode::FileNotFound;
    }
    if (verifiedMessages && source.size != entry.size) return ReportSizeMismatch(entry, source.size);
    return ErrorCode::Success;
}

// Copies into a staged file beside the final name (so it is made with its own folder's
// access list, and renamed within one file system), checks it against the entry, gives
// it its attributes and renames it over the target: a file that is not right never
// takes the final name.
ErrorCode StageAndReplace(ManifestHandler& handler, TargetFolder& target, const ManifestFileEntry& entry,
                          const CopyPlan& plan, const platform::FileStat& source, bool verifiedMessages) {
    // Destroyed last: the folders made for a file that is not installed go once nothing holds them.
    struct MadeFolders {
        TargetFolder& target;
        bool keep = false;
        ~MadeFolders() {
            if (!keep) target.RemoveMadeFolders();
        }
    } made{target};
    int folder = -1;
    if (const ErrorCode code = target.OpenParentFolder(entry.relativePath, folder); code != ErrorCode::Success) {
        return code;
    }
    const std::optional<platform::FileStat> existing = ExistingFile(folder, FileNameOf(entry.relativePath));
    const auto copyFailed = [&](ErrorCode code) {
        kManifestLog.Error("Failed to copy file to target: " + entry.relativePath);
        return code;
    };
    platform::StagedFile staged;
    DescriptorCopyOutcome outcome;
    if (const ErrorCode code = StageCopy(plan, folder, staged, outcome); code != ErrorCode::Success) {
        return copyFailed(code);
    }
    const uint32_t mode = GiveInstalledAttributes(existing, source, staged.fd());
    if (const ErrorCode code = CheckAgainstEntry(entry, plan, outcome, staged.fd()); code != ErrorCode::Success) {
        return code;
    }
    if (verifiedMessages) kManifestLog.Debug("File verification successful: " + entry.relativePath);

    if (!entry.permissions.empty() &&
        handler.SetPermissions(staged.fd(), mode, plan.destPath, entry.permissions) != ErrorCode::Success) {
        kManifestLog.Warning("Failed to set permissions for: " + entry.relativePath);
    }
    platform::CopyFileTimes(plan.sourceFd, staged.fd());  // as with preserved timestamps: failures ignored
    uint32_t renameError = 0;
    if (const ErrorCode moved = MoveIntoPlace(staged, entry.relativePath, plan, renameError);
        moved != ErrorCode::Success) {
        return copyFailed(moved);
    }
    made.keep = true;
    ReportCopied(plan);
    return ErrorCode::Success;
}

}  // namespace

ErrorCode ManifestHandler::InstallOpenFile(const ManifestFileEntry& entry, int sourceFd, const fs::path& sourcePath,
                                           const std::wstring& targetRoot, InstallCheck check) {
    platform::FileStat source;
    if (const ErrorCode code = CheckSource(entry, sourceFd, sourcePath, check, source); code != ErrorCode::Success) {
        return code;
    }
    kManifestLog.Debug("Installing file: " + entry.relativePath + " -> " + WideToUtf8Lossy(targetRoot));
    if (!IsSafeRelativePathUtf8(entry.relativePath)) {
        kManifestLog.Error("Refusing unsafe install path");
        return ErrorCode::InvalidArguments;
    }
    if (const ErrorCode code = OpenTarget(targetRoot, true); code != ErrorCode::Success) return code;
    const fs::path dest = target_.PathOf(entry.relativePath);
    const CopyPlan plan(sourceFd, sourcePath, dest, source.size, check != InstallCheck::VerifiedCache);
    if (const ErrorCode code =
            StageAndReplace(*this, target_, entry, plan, source, check == InstallCheck::VerifyWhileCopying);
        code != ErrorCode::Success) {
        return code;
    }
    JsonlLogger::Instance().LogStatus("file:copy", "completed", entry.relativePath);
    if (entry.isExecutable && !Succeeded(ProcessExecutable(dest))) {
        kManifestLog.Warning("Failed to process executable: " + entry.relativePath);
    }
    kManifestLog.Debug("File installed successfully: " + entry.relativePath);
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
    platform::UniqueFd folder;
    if (const uint32_t err = platform::PinFolder(dest.parent_path(), folder)) {
        return ReportCopyFailure(plan, "CreateFile (target)", err);
    }
    platform::StagedFile staged;
    DescriptorCopyOutcome outcome;
    ErrorCode code = StageCopy(plan, folder.get(), staged, outcome);
    if (code == ErrorCode::Success) code = CheckWhole(plan, outcome);
    if (code != ErrorCode::Success) return code;
    GiveAttributes(staged.fd(), source, source.mode);
    platform::CopyFileTimes(sourceFd, staged.fd());
    // A file that is there already, or a link, is never replaced.
    if (const uint32_t err = staged.CommitAsNew(Utf8FromPath(dest.filename()))) {
        return ReportCopyFailure(plan, "CreateFile (target)", err);
    }
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

    int folder = -1;
    if (const ErrorCode code = target.OpenParentFolder(relativePath, folder); code != ErrorCode::Success) return code;
    platform::StagedFile staged;
    DescriptorCopyOutcome outcome;
    if (const ErrorCode code = StageCopy(plan, folder, staged, outcome); code != ErrorCode::Success) {
        return code;
    }
    if (const ErrorCode code = CheckWhole(plan, outcome); code != ErrorCode::Success) return code;
    GiveAttributes(staged.fd(), st, st.mode);
    platform::CopyFileTimes(source.get(), staged.fd());
    if (const ErrorCode code = MoveIntoPlace(staged, relativePath, plan, err); code != ErrorCode::Success) return code;
    ReportCopied(plan);
    return ErrorCode::Success;
}

}  // namespace zuvelo
