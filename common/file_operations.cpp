#include "common/file_operations.h"

#include <ctime>
#include <filesystem>
#include <memory>
#include <vector>

#include "common/descriptor_copy.h"
#include "common/jsonl_logger.h"
#include "common/paths.h"
#include "common/text.h"
#include "platform/authenticode.h"
#include "platform/file_io.h"
#include "platform/open_beneath.h"
#include "platform/staged_file.h"
#include "platform/sha256.h"
#include "platform/win32_error.h"

namespace zuvelo {

namespace {

namespace fs = std::filesystem;
namespace win32 = platform::win32;

JsonlLogger& Log() { return JsonlLogger::Instance(); }
constexpr ComponentLogger kLog{"FileOperations"};
std::string U8(const std::wstring& text) { return ToUtf8Lossy(text); }

std::unique_ptr<unsigned char[]> NewBlock() { return std::make_unique_for_overwrite<unsigned char[]>(FileOperations::kIoBlockSize); }

// The ERROR line of a failed hashing step, named after the CNG call it stands in for.
void LogHashFailure(const platform::Sha256& hash) {
    const char* call = "BCryptHashData";
    switch (hash.FailedStep()) {
        case platform::Sha256::Step::OpenAlgorithm: call = "BCryptOpenAlgorithmProvider"; break;
        case platform::Sha256::Step::ObjectLength: call = "BCryptGetProperty (object length)"; break;
        case platform::Sha256::Step::HashLength: call = "BCryptGetProperty (hash length)"; break;
        case platform::Sha256::Step::CreateHash: call = "BCryptCreateHash"; break;
        case platform::Sha256::Step::FinishHash: call = "BCryptFinishHash"; break;
        default: break;
    }
    kLog.Error(std::string(call) + " failed: " + std::to_string(hash.FailureStatus()));
}


// Last-write time through the local-time round trip, in 100-nanosecond units.
int64_t LastWriteTimeValue(int64_t seconds) {
    const time_t t = static_cast<time_t>(seconds);
    struct tm local {};
    if (!::localtime_r(&t, &local)) return 0;
    const time_t back = ::mktime(&local);
    return static_cast<int64_t>(back) * 10000000;
}

// ---------------------------------------------------------------------------------
// Copying, in steps: the target prepared, the source looked up, opened and checked, the
// bytes copied (through a staged file, or in chunks into the target itself), verified,
// and the copy finished.

// The source of a copy as opened and checked.
struct OpenedSource {
    platform::UniqueFd in;
    platform::FileStat opened;
    bool chunked = false;  // larger than kChunkedCopyThreshold: copied in chunks
};

// One copy: the source as opened and checked, and where it goes.
struct WholeCopy {
    const std::wstring& source;
    const std::wstring& target;
    const fs::path& targetNative;
    int in;
    const platform::FileStat& opened;
    const CopyOptions& options;
};

// The target's folder made when asked for; a target that is there already is refused
// without overwrite. The existence tests throw on anything but absence.
ErrorCode PrepareTarget(const std::wstring& target, const fs::path& targetNative, const CopyOptions& options) {
    if (options.createDirectories) {
        const fs::path parent = targetNative.parent_path();
        if (!parent.empty() && !PathExists(parent)) {
            const ErrorCode created = FileOperations().EnsureDirectory(WidePath(parent));
            if (created != ErrorCode::Success) return created;
        }
    }
    if (PathExists(targetNative) && !options.overwrite) {
        kLog.Error("Target file exists and overwrite not allowed: " + U8(target));
        return ErrorCode::FileAccessDenied;
    }
    return ErrorCode::Success;
}

// The source looked up (its size picks the way it is copied; its hash is taken while
// copying), opened, and checked to be a regular file.
ErrorCode OpenSource(const std::wstring& source, const fs::path& sourceNative, OpenedSource& out) {
    kLog.Debug("Getting file info for: " + U8(source));
    platform::FileStat sourceInfo;
    if (const uint32_t err = platform::StatPath(sourceNative, sourceInfo)) {
        // The look-up's failure, then the copy's own, as a source that is not there gives both.
        FileOperations::LogFileError("GetFileAttributesEx", source, err);
        FileOperations::LogFileError("CopyFileEx", source, err);
        return FileOperations::MapWin32Error(err);
    }
    if (!sourceInfo.IsDirectory() && sourceInfo.size > 0) kLog.Debug("Calculating SHA-256 hash for: " + U8(source));
    out.chunked = !sourceInfo.IsDirectory() && sourceInfo.size > FileOperations::kChunkedCopyThreshold;
    // Logged as the chunked copy's own call, or as the system's copy logs its failure.
    const auto fail = [&](const char* chunkedCall, uint32_t err) {
        FileOperations::LogFileError(out.chunked ? chunkedCall : "CopyFileEx", source, err);
        return FileOperations::MapWin32Error(err);
    };
    if (const uint32_t err = platform::OpenForReading(sourceNative, out.in)) return fail("CreateFile (source)", err);
    if (const uint32_t err = platform::StatFd(out.in.get(), out.opened)) return fail("GetFileSizeEx", err);
    if (!out.opened.IsRegular()) return fail("CreateFile (source)", win32::kAccessDenied);
    return ErrorCode::Success;
}

// The copy engine's run for this copy, hashing as it reads when verification is asked for.
DescriptorCopy RunOf(const WholeCopy& copy) {
    DescriptorCopy run;
    run.source = copy.in;
    run.total = copy.opened.size;
    run.verify = copy.options.verifyHash;
    run.onHashFailure = &LogHashFailure;
    return run;
}

// Every byte of the source was copied and, when asked, the copy holds what the source
// holds: 0, else 143 (incomplete) or 142 (another digest), with its messages.
ErrorCode CheckCopied(const WholeCopy& copy, const DescriptorCopyOutcome& outcome) {
    if (outcome.copied != copy.opened.size) {
        kLog.Error("Copy incomplete: wrote " + std::to_string(outcome.copied) + " of " +
                   std::to_string(copy.opened.size) + " bytes of " + U8(copy.source));
        return ErrorCode::FileCopyFailed;
    }
    if (copy.options.verifyHash && !outcome.hashesMatch) {
        if (outcome.hashFailed) kLog.Warning("Failed to calculate hash for: " + U8(copy.source));
        kLog.Error("Hash verification failed after copy");
        return ErrorCode::FileHashMismatch;
    }
    return ErrorCode::Success;
}

// The digest handed out when asked for, and the source's times given to the copy open as
// target (failures are ignored).
void PassOnDigestAndTimes(const WholeCopy& copy, const DescriptorCopyOutcome& outcome, int target) {
    if (copy.options.verifyHash && copy.options.copiedSha256) *copy.options.copiedSha256 = outcome.sha256;
    if (copy.options.preserveTimestamps) platform::CopyFileTimes(copy.in, target);
}

// Logged as the system's copy logs its failure, and mapped.
ErrorCode CopyFailed(const WholeCopy& copy, uint32_t err) {
    FileOperations::LogFileError("CopyFileEx", copy.source, err);
    return FileOperations::MapWin32Error(err);
}

// What stands at the target may be replaced: a missing file, or a writable file that
// is not the source itself (an existing read-only file refuses the copy, as it refuses
// CopyFileExW).
ErrorCode CheckReplaceableTarget(const WholeCopy& copy) {
    platform::FileStat existing;
    const uint32_t err = platform::StatPath(copy.targetNative, existing);
    if (err == win32::kFileNotFound || err == win32::kPathNotFound) return ErrorCode::Success;
    if (err != 0) return CopyFailed(copy, err);
    if (existing.SameFile(copy.opened)) {
        kLog.Error("Source and target are the same file: " + U8(copy.target));
        return ErrorCode::FileAccessDenied;
    }
    if (!existing.IsRegular() || existing.IsReadOnly()) return CopyFailed(copy, win32::kAccessDenied);
    return ErrorCode::Success;
}

// The whole, verified staged file takes the target's name (replacing what is there only
// with overwrite), with the "copy" event.
ErrorCode FinishStagedCopy(const WholeCopy& copy, const DescriptorCopyOutcome& outcome, platform::StagedFile& staged) {
    PassOnDigestAndTimes(copy, outcome, staged.fd());
    const std::string name = Utf8FromPath(copy.targetNative.filename());
    if (const uint32_t err = copy.options.overwrite ? staged.CommitAs(name) : staged.CommitAsNew(name)) {
        return CopyFailed(copy, err);
    }
    Log().LogFileOperation("copy", copy.target, true, 0, false);
    return ErrorCode::Success;
}

// A copy of 10 MiB or less goes into a staged file beside the target (the system's copy
// where there is one, keeping attributes and alternate streams), and takes the target's
// name only once it is whole and verified.
ErrorCode CopyThroughStagedFile(const WholeCopy& copy) {
    if (const ErrorCode code = CheckReplaceableTarget(copy); code != ErrorCode::Success) return code;
    const fs::path parent = copy.targetNative.has_parent_path() ? copy.targetNative.parent_path() : fs::path(".");
    platform::UniqueFd folder;
    if (const uint32_t err = platform::PinFolder(parent, folder)) return CopyFailed(copy, err);
    platform::StagedFile staged;
    const DescriptorCopyOutcome outcome = CopyIntoStagedFile(RunOf(copy), folder.get(), copy.opened.mode & 0755, staged);
    if (outcome.kind != DescriptorCopyOutcome::Kind::Done) return CopyFailed(copy, outcome.win32Error);
    if (const ErrorCode code = CheckCopied(copy, outcome); code != ErrorCode::Success) return code;
    return FinishStagedCopy(copy, outcome, staged);
}

// The failure of one call of the chunked copy, logged and mapped.
ErrorCode ChunkFailed(const char* call, const std::wstring& path, uint32_t err) {
    FileOperations::LogFileError(call, path, err);
    return FileOperations::MapWin32Error(err);
}

// The target of a chunked copy, opened without truncating it (it may be the source
// itself): it must be a regular file other than the source.
ErrorCode OpenChunkedTarget(const WholeCopy& copy, platform::UniqueFd& out, platform::FileStat& targetInfo) {
    uint32_t err = platform::OpenForWriting(copy.targetNative, !copy.options.overwrite, copy.opened.mode, out);
    if (err == 0) err = platform::StatFd(out.get(), targetInfo);
    if (err != 0) return ChunkFailed("CreateFile (target)", copy.target, err);
    if (targetInfo.SameFile(copy.opened)) {
        kLog.Error("Source and target are the same file: " + U8(copy.target));
        return ErrorCode::FileAccessDenied;
    }
    if (!targetInfo.IsRegular()) return ChunkFailed("CreateFile (target)", copy.target, win32::kAccessDenied);
    return ErrorCode::Success;
}

// Removes the target of a chunked copy as it goes out of scope, unless it is kept.
struct RemoveTargetUnlessKept {
    const fs::path& path;
    platform::UniqueFd& fd;
    bool keep = false;
    ~RemoveTargetUnlessKept() {
        if (!keep && fd.valid()) platform::RemoveIfStillSame(path, fd.get());
    }
};

// The bytes, a block at a time with progress after each, written through to the device;
// a failed read, write or flush is logged as its call and mapped.
ErrorCode CopyChunks(const WholeCopy& copy, int out, DescriptorCopyOutcome& outcome) {
    DescriptorCopy run = RunOf(copy);
    run.target = out;
    run.chunked = true;
    run.flush = true;  // FlushFileBuffers
    run.progress = &copy.options.progress;
    outcome = CopyBetweenDescriptors(run);
    switch (outcome.kind) {
        case DescriptorCopyOutcome::Kind::ReadFailed:
            FileOperations::LogFileError("ReadFile", copy.source, outcome.win32Error);
            return ErrorCode::FileCopyFailed;
        case DescriptorCopyOutcome::Kind::CreateFailed:
        case DescriptorCopyOutcome::Kind::WriteFailed: return ChunkFailed("WriteFile", copy.target, outcome.win32Error);
        case DescriptorCopyOutcome::Kind::FlushFailed:
            return ChunkFailed("FlushFileBuffers", copy.target, outcome.win32Error);
        case DescriptorCopyOutcome::Kind::Cancelled: return ErrorCode::Cancelled;
        case DescriptorCopyOutcome::Kind::Done: break;
    }
    return ErrorCode::Success;
}

// A chunked copy that holds another digest than its source goes, with its delete event.
void DeleteMismatchedCopy(const WholeCopy& copy, platform::UniqueFd& out) {
    platform::SetReadOnly(out.get(), false);  // a read-only copy could not be deleted
    out.reset();
    FileOperations().Delete(copy.target);
}

// A copy of more than 10 MiB: read and written a block at a time into the target
// itself, with progress after each block and no "copy" event.
ErrorCode CopyInChunks(const WholeCopy& copy) {
    platform::UniqueFd out;
    platform::FileStat targetInfo;
    if (const ErrorCode code = OpenChunkedTarget(copy, out, targetInfo); code != ErrorCode::Success) return code;
    // From here on the target is ours: any failure removes it.
    RemoveTargetUnlessKept target{copy.targetNative, out};
    if (targetInfo.size != 0) {
        if (const uint32_t err = platform::Truncate(out.get(), 0)) {
            return ChunkFailed("CreateFile (target)", copy.target, err);
        }
    }
    DescriptorCopyOutcome outcome;
    if (const ErrorCode code = CopyChunks(copy, out.get(), outcome); code != ErrorCode::Success) return code;
    if (const ErrorCode code = CheckCopied(copy, outcome); code != ErrorCode::Success) {
        if (code != ErrorCode::FileHashMismatch) return code;
        target.keep = true;  // deleted here, with its event
        DeleteMismatchedCopy(copy, out);
        return ErrorCode::FileHashMismatch;
    }
    PassOnDigestAndTimes(copy, outcome, out.get());
    target.keep = true;
    return ErrorCode::Success;
}

}  // namespace

// ---------------------------------------------------------------------------------

ErrorCode FileOperations::MapWin32Error(uint32_t win32Code) {
    switch (win32Code) {
        case 2:
        case 3: return ErrorCode::FileNotFound;
        case 5:
        case 19:
        case 32:
        case 33: return ErrorCode::FileAccessDenied;
        case 39:
        case 112: return ErrorCode::InsufficientDiskSpace;
        case 123:
        case 161: return ErrorCode::InvalidInstallPath;
        default: return ErrorCode::InternalError;
    }
}

void FileOperations::LogFileError(const std::string& operation, const std::wstring& path, uint32_t win32Code) noexcept {
    try {
        kLog.Error(operation + " failed for '" + U8(path) + "': " + U8(FormatWin32Error(win32Code)) +
                   " (code: " + std::to_string(win32Code) + ")");
    } catch (...) {
    }
    Log().LogFileOperation(operation, path, false, win32Code, true);
}

ErrorCode FileOperations::GetFileInfo(const std::wstring& path, FileInfo& info) {
    kLog.Debug("Getting file info for: " + U8(path));
    platform::FileStat st;
    if (const uint32_t err = platform::StatPath(NativePath(path), st)) {
        LogFileError("GetFileAttributesEx", path, err);
        return MapWin32Error(err);
    }
    info.path = path;
    info.size = st.IsDirectory() ? 0 : st.size;
    info.lastWriteTime = LastWriteTimeValue(st.lastWriteSeconds);
    info.sha256.clear();
    info.exists = true;
    info.readOnly = st.IsReadOnly();
    info.hidden = st.hidden;
    info.system = st.system;
    if (info.size > 0) {
        std::string hex;
        if (CalculateSha256(path, hex) != ErrorCode::Success) {
            kLog.Warning("Failed to calculate hash for: " + U8(path));
        } else {
            info.sha256 = hex;
        }
    }
    return ErrorCode::Success;
}

ErrorCode FileOperations::GetOpenFileDigest(int file, const std::wstring& shownPath, uint64_t& size,
                                            std::string& sha256) {
    kLog.Debug("Getting file info for: " + U8(shownPath));
    platform::FileStat st;
    if (const uint32_t err = platform::StatFd(file, st)) {
        LogFileError("GetFileAttributesEx", shownPath, err);
        return MapWin32Error(err);
    }
    size = st.size;
    sha256.clear();
    if (size == 0) return ErrorCode::Success;
    kLog.Debug("Calculating SHA-256 hash for: " + U8(shownPath));
    if (CalculateSha256Of(file, shownPath, sha256) != ErrorCode::Success) {
        kLog.Warning("Failed to calculate hash for: " + U8(shownPath));
    }
    return ErrorCode::Success;
}

ErrorCode FileOperations::CalculateSha256(const std::wstring& path, std::string& hexOut) {
    kLog.Debug("Calculating SHA-256 hash for: " + U8(path));
    if (platform::Sha256 probe; !probe.Ok()) {
        LogHashFailure(probe);
        return ErrorCode::HashCalculationFailed;
    }
    platform::UniqueFd file;
    uint32_t err = platform::OpenForReading(NativePath(path), file);
    platform::FileStat st;
    if (err == 0 && (err = platform::StatFd(file.get(), st)) == 0 && !st.IsRegular()) err = win32::kAccessDenied;
    if (err != 0) {
        LogFileError("CreateFile", path, err);
        return MapWin32Error(err);
    }
    return CalculateSha256Of(file.get(), path, hexOut);
}

ErrorCode FileOperations::CalculateSha256Of(int file, const std::wstring& shownPath, std::string& hexOut) {
    platform::Sha256 hash;
    if (!hash.Ok()) {
        LogHashFailure(hash);
        return ErrorCode::HashCalculationFailed;
    }
    const auto buffer = NewBlock();
    while (true) {
        size_t got = 0;
        if (const uint32_t err = platform::ReadSome(file, buffer.get(), kIoBlockSize, got)) {
            // A read error is a failure: the digest would not be the file's.
            LogFileError("ReadFile", shownPath, err);
            return ErrorCode::HashCalculationFailed;
        }
        if (got == 0) break;
        if (!hash.Update(buffer.get(), got)) {
            LogHashFailure(hash);
            return ErrorCode::HashCalculationFailed;
        }
    }
    std::string hex;
    if (!hash.Finish(hex)) {
        LogHashFailure(hash);
        return ErrorCode::HashCalculationFailed;
    }
    hexOut = std::move(hex);
    return ErrorCode::Success;
}

ErrorCode FileOperations::Copy(const std::wstring& source, const std::wstring& target, const CopyOptions& options) {
    kLog.Debug("Copying file: " + U8(source) + " -> " + U8(target));
    const fs::path sourceNative = NativePath(source);
    const fs::path targetNative = NativePath(target);
    if (const ErrorCode code = PrepareTarget(target, targetNative, options); code != ErrorCode::Success) return code;
    OpenedSource opened;
    if (const ErrorCode code = OpenSource(source, sourceNative, opened); code != ErrorCode::Success) return code;
    const WholeCopy copy{source, target, targetNative, opened.in.get(), opened.opened, options};
    return opened.chunked ? CopyInChunks(copy) : CopyThroughStagedFile(copy);
}

ErrorCode FileOperations::Delete(const std::wstring& path) {
    kLog.Debug("Deleting file: " + U8(path));
    if (const uint32_t err = platform::RemoveFile(NativePath(path))) {
        LogFileError("DeleteFile", path, err);
        return MapWin32Error(err);
    }
    Log().LogFileOperation("delete", path, true, 0, false);
    return ErrorCode::Success;
}

ErrorCode FileOperations::EnsureDirectory(const std::wstring& path) {
    kLog.Debug("Creating directory: " + U8(path));
    const fs::path native = NativePath(path);
    platform::FileStat st;
    if (platform::StatPath(native, st) == 0 && st.IsDirectory()) return ErrorCode::Success;
    // Mostly only the folder itself is missing: one call makes it, without looking again.
    SystemError err = platform::CreateFolder(native);
    if (err) err = CreateFolders(native);
    if (err) {
        kLog.Error("Failed to create directory: " + U8(path) + " - " + U8(FormatWin32Error(err.code())));
        return ErrorCode::DirectoryCreateFailed;
    }
    Log().LogFileOperation("mkdir", path, true, 0, false);
    return ErrorCode::Success;
}

ErrorCode FileOperations::SetPermissions(const std::wstring& path, bool readOnly) {
    kLog.Debug("Setting file permissions for: " + U8(path));
    const fs::path native = NativePath(path);
    platform::FileStat st;
    if (const uint32_t err = platform::StatPath(native, st)) {
        LogFileError("GetFileAttributes", path, err);
        return MapWin32Error(err);
    }
    if (const uint32_t err = platform::SetReadOnly(native, readOnly)) {
        LogFileError("SetFileAttributes", path, err);
        return MapWin32Error(err);
    }
    return ErrorCode::Success;
}

namespace {

ErrorCode CompareDigests(const std::string& expectedHex, const std::string& actualHex) {
    if (actualHex == expectedHex) return ErrorCode::Success;
    kLog.Error("Hash mismatch. Expected: " + expectedHex + ", Actual: " + actualHex);
    return ErrorCode::FileHashMismatch;
}

}  // namespace

ErrorCode FileOperations::VerifyFileIntegrity(const std::wstring& path, const std::string& expectedHex) {
    kLog.Debug("Verifying file integrity: " + U8(path));
    std::string actual;
    const ErrorCode hashed = CalculateSha256(path, actual);
    if (hashed != ErrorCode::Success) return hashed;
    return CompareDigests(expectedHex, actual);
}

ErrorCode FileOperations::VerifyOpenFileIntegrity(int file, const std::wstring& shownPath,
                                                  const std::string& expectedHex) {
    kLog.Debug("Verifying file integrity: " + U8(shownPath));
    std::string actual;
    const ErrorCode hashed = CalculateSha256Of(file, shownPath, actual);
    if (hashed != ErrorCode::Success) return hashed;
    return CompareDigests(expectedHex, actual);
}

ErrorCode FileOperations::VerifyFileDigest(const std::wstring& path, const std::string& expectedHex,
                                           const std::string& actualHex) {
    kLog.Debug("Verifying file integrity: " + U8(path));
    return CompareDigests(expectedHex, actualHex);
}

ErrorCode FileOperations::VerifyFileSignature(const std::wstring& path) {
    kLog.Debug("Verifying file signature: " + U8(path));
    const int32_t result = platform::VerifyAuthenticode(NativePath(path));
    if (result == platform::trust::kSuccess) return ErrorCode::Success;
    kLog.Error("Signature verification failed: " + std::to_string(result));
    return ErrorCode::SignatureVerificationFailed;
}

}  // namespace zuvelo
