#include "common/file_operations.h"

#include <algorithm>
#include <ctime>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <system_error>
#include <vector>

#include "common/descriptor_copy.h"
#include "common/jsonl_logger.h"
#include "common/paths.h"
#include "common/pinned_removal.h"
#include "common/text.h"
#include "platform/authenticode.h"
#include "platform/file_io.h"
#include "platform/handles.h"
#include "platform/open_beneath.h"
#include "platform/path_identity.h"
#include "platform/staged_file.h"
#include "platform/sha256.h"
#include "platform/win32_error.h"

namespace zuvelo {

namespace {

namespace fs = std::filesystem;
namespace win32 = platform::win32;

constexpr const char* kComponent = "FileOperations";

JsonlLogger& Log() { return JsonlLogger::Instance(); }
void Debug(const std::string& message) { Log().LogDiagnostic(LogLevel::Debug, message, kComponent); }
void Warning(const std::string& message) { Log().LogDiagnostic(LogLevel::Warning, message, kComponent); }
void Error(const std::string& message) { Log().LogDiagnostic(LogLevel::Error, message, kComponent); }
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
    Error(std::string(call) + " failed: " + std::to_string(hash.FailureStatus()));
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
// Tree walk for RemoveDirectoryTree: from the pinned root's own descriptor, so the
// folder listed is the folder pinned. Pre-order, in the order the file system gives.

struct WalkFailure {
    std::wstring path;
    uint32_t win32Error = 0;
};

// The wide form of a native path for events, whatever its bytes.
std::wstring LossyWide(const std::string& native) { return Utf8ToWideLossy(native); }

// The whole listing of the folder held as fd, read at once so that the walk holds no
// more than the folders of the root's HeldFolders, however deep the tree.
uint32_t ListFolder(int fd, std::vector<platform::DirectoryReader::Entry>& entries) {
    platform::UniqueFd listing;
    if (const uint32_t err = platform::OpenDirectoryForListing(fd, ".", listing)) return err;
    platform::DirectoryReader reader(std::move(listing));
    while (true) {
        platform::DirectoryReader::Entry entry;
        bool done = false;
        if (const uint32_t err = reader.Next(entry, done)) return err;
        if (done) return 0;
        entries.push_back(std::move(entry));
    }
}

// Whether a name right inside the root is one of keepEntries, as the file system compares names.
bool IsKeptEntry(const std::string& name, const std::vector<std::string>& keepEntries) {
    for (const std::string& kept : keepEntries) {
        if (name == kept) return true;
        try {
            if (platform::SamePathText(Utf8ToWide(name), Utf8ToWide(kept))) return true;
        } catch (const std::exception&) {
            // A name that is not UTF-8 is none of them.
        }
    }
    return false;
}

// Fills files and folders; a failure names the path and the error for the event.
// current receives the native path of the entry in hand (for an exception's event).
// An entry of the root named in keepEntries is left out with everything in it. Every
// folder is reached from the root one component at a time (OpenFolderUnderPinnedRoot).
std::optional<WalkFailure> WalkTree(const PinnedRoot& root, const std::string& rootNative,
                                    std::vector<RemovalEntry>& files, std::vector<RemovalEntry>& folders,
                                    std::string& current, const std::vector<std::string>& keepEntries) {
    constexpr size_t kRoot = static_cast<size_t>(-1);
    struct Frame {
        std::vector<platform::DirectoryReader::Entry> entries;
        size_t next = 0;
        size_t folder = kRoot;  // its entry in folders (the paths are kept there only once)
    };
    const char separator = static_cast<char>(kNativeSeparator);
    const std::wstring rootWide = Utf8ToWide(rootNative);
    const auto failure = [](const std::string& native, uint32_t err) { return WalkFailure{LossyWide(native), err}; };

    std::vector<Frame> stack(1);
    if (const uint32_t err = ListFolder(root.handle.get(), stack[0].entries)) return failure(rootNative, err);
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next == top.entries.size()) {
            stack.pop_back();
            continue;
        }
        const platform::DirectoryReader::Entry entry = std::move(top.entries[top.next++]);
        const bool inRoot = top.folder == kRoot;
        if (inRoot && IsKeptEntry(entry.name, keepEntries)) continue;
        const std::string folder = inRoot ? std::string() : folders[top.folder].relativePath;
        std::string relative = inRoot ? entry.name : folder + separator + entry.name;
        current = rootNative + separator + relative;

        // The attributes: the file system's type when it gives one for a non-folder,
        // else statx of the entry itself (never following a link).
        bool isDirectory = false;
        bool descend = false;
        platform::HandleInfo info;
        if (entry.type == platform::DirectoryReader::Type::Directory ||
            entry.type == platform::DirectoryReader::Type::Unknown) {
            int folderFd = -1;
            bool unsafe = false;
            uint32_t err = OpenFolderUnderPinnedRoot(root, folder, folderFd, unsafe);
            if (err == 0) err = platform::QueryEntryInfo(folderFd, entry.name, info);
            if (err == win32::kFileNotFound && !unsafe) continue;  // vanished since it was listed
            if (err != 0) return failure(current, err);
            isDirectory = info.IsDirectory();
            // A folder on another mount is a reparse point: listed, never entered.
            descend = isDirectory && !info.OnOtherMountThan(root.identity);
        }

        // Names found on disk must be valid UTF-8 and safe relative paths; "\" inside a
        // name is not a separator here, so such a name is unsafe too. The folder's own path
        // passed when it was found, so the name alone decides.
        std::wstring nameWide;
        try {
            nameWide = Utf8ToWide(entry.name);
        } catch (const std::exception&) {
            return failure(current, win32::kInvalidName);
        }
        if (entry.name.find('\\') != std::string::npos || !IsSafeRelativePath(nameWide)) {
            return failure(current, win32::kInvalidName);
        }
        std::wstring fullPath = (inRoot ? rootWide : folders[top.folder].fullPath) + kNativeSeparator + nameWide;

        if (descend) {
            Frame below;
            int folderFd = -1;
            bool unsafe = false;
            uint32_t err = OpenFolderUnderPinnedRoot(root, relative, folderFd, unsafe);
            if (err == win32::kFileNotFound && !unsafe) continue;
            platform::HandleInfo opened;
            if (err == 0) err = platform::QueryHandleInfo(folderFd, opened);
            if (err == 0 && !opened.SameObject(info)) err = win32::kAccessDenied;  // swapped since the look
            if (err == 0) err = ListFolder(folderFd, below.entries);
            if (err != 0) return failure(current, err);
            below.folder = folders.size();
            folders.push_back({std::move(fullPath), std::move(relative), true});
            stack.push_back(std::move(below));
            continue;
        }
        (isDirectory ? folders : files).push_back({std::move(fullPath), std::move(relative), isDirectory});
    }
    return std::nullopt;
}

uint32_t CodeOfException(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::system_error& e) {
        const uint32_t code = platform::Win32ErrorFromErrorCode(e.code());
        return code != 0 ? code : win32::kInvalidName;
    } catch (...) {
        return win32::kInvalidName;
    }
}

// One copy: the source as opened and checked, and where it goes.
struct WholeCopy {
    const std::wstring& source;
    const std::wstring& target;
    const fs::path& targetNative;
    int in;
    const platform::FileStat& opened;
};

// Every byte of the source was copied and, when asked, the copy holds what the source
// holds: 0, else 143 (incomplete) or 142 (another digest), with its messages.
ErrorCode CheckCopied(const WholeCopy& copy, const DescriptorCopyOutcome& outcome, const CopyOptions& options) {
    if (outcome.copied != copy.opened.size) {
        Error("Copy incomplete: wrote " + std::to_string(outcome.copied) + " of " + std::to_string(copy.opened.size) +
              " bytes of " + U8(copy.source));
        return ErrorCode::FileCopyFailed;
    }
    if (options.verifyHash && !outcome.hashesMatch) {
        if (outcome.hashFailed) Warning("Failed to calculate hash for: " + U8(copy.source));
        Error("Hash verification failed after copy");
        return ErrorCode::FileHashMismatch;
    }
    return ErrorCode::Success;
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
        Error("Source and target are the same file: " + U8(copy.target));
        return ErrorCode::FileAccessDenied;
    }
    if (!existing.IsRegular() || existing.IsReadOnly()) return CopyFailed(copy, win32::kAccessDenied);
    return ErrorCode::Success;
}

// A copy of 10 MiB or less goes into a staged file beside the target (the system's copy
// where there is one, keeping attributes and alternate streams), and takes the target's
// name only once it is whole and verified.
ErrorCode CopyThroughStagedFile(const WholeCopy& copy, const CopyOptions& options) {
    if (const ErrorCode code = CheckReplaceableTarget(copy); code != ErrorCode::Success) return code;
    const fs::path parent = copy.targetNative.has_parent_path() ? copy.targetNative.parent_path() : fs::path(".");
    platform::UniqueFd folder;
    if (const uint32_t err = platform::PinFolder(parent, folder)) return CopyFailed(copy, err);

    DescriptorCopy run;
    run.source = copy.in;
    run.total = copy.opened.size;
    run.verify = options.verifyHash;
    run.onHashFailure = &LogHashFailure;
    platform::StagedFile staged;
    const DescriptorCopyOutcome outcome = CopyIntoStagedFile(run, folder.get(), copy.opened.mode & 0755, staged);
    if (outcome.kind != DescriptorCopyOutcome::Kind::Done) return CopyFailed(copy, outcome.win32Error);
    if (const ErrorCode code = CheckCopied(copy, outcome, options); code != ErrorCode::Success) return code;
    if (options.verifyHash && options.copiedSha256) *options.copiedSha256 = outcome.sha256;
    if (options.preserveTimestamps) platform::CopyFileTimes(copy.in, staged.fd());  // failures are ignored
    const std::string name = Utf8FromPath(copy.targetNative.filename());
    if (const uint32_t err = options.overwrite ? staged.CommitAs(name) : staged.CommitAsNew(name)) {
        return CopyFailed(copy, err);
    }
    Log().LogFileOperation("copy", copy.target, true, 0, false);
    return ErrorCode::Success;
}

// The failure of one call of the chunked copy, logged and mapped.
ErrorCode ChunkFailed(const char* call, const std::wstring& path, uint32_t err) {
    FileOperations::LogFileError(call, path, err);
    return FileOperations::MapWin32Error(err);
}

// A copy of more than 10 MiB: read and written a block at a time into the target
// itself, with progress after each block and no "copy" event.
ErrorCode CopyInChunks(const WholeCopy& copy, const CopyOptions& options) {
    // Open the target without truncating it: it may be the source itself.
    platform::UniqueFd out;
    if (const uint32_t err = platform::OpenForWriting(copy.targetNative, !options.overwrite, copy.opened.mode, out)) {
        return ChunkFailed("CreateFile (target)", copy.target, err);
    }
    platform::FileStat targetInfo;
    if (const uint32_t err = platform::StatFd(out.get(), targetInfo)) {
        return ChunkFailed("CreateFile (target)", copy.target, err);
    }
    if (targetInfo.SameFile(copy.opened)) {
        Error("Source and target are the same file: " + U8(copy.target));
        return ErrorCode::FileAccessDenied;
    }
    if (!targetInfo.IsRegular()) return ChunkFailed("CreateFile (target)", copy.target, win32::kAccessDenied);

    // From here on the target is ours: any failure removes it.
    bool keepTarget = false;
    struct RemoveOnFailure {
        const fs::path& path;
        platform::UniqueFd& fd;
        bool& keep;
        ~RemoveOnFailure() {
            if (!keep && fd.valid()) platform::RemoveIfStillSame(path, fd.get());
        }
    } removeOnFailure{copy.targetNative, out, keepTarget};

    if (targetInfo.size != 0) {
        if (const uint32_t err = platform::Truncate(out.get(), 0)) {
            return ChunkFailed("CreateFile (target)", copy.target, err);
        }
    }

    DescriptorCopy run;
    run.source = copy.in;
    run.target = out.get();
    run.total = copy.opened.size;
    run.chunked = true;
    run.verify = options.verifyHash;
    run.flush = true;  // FlushFileBuffers
    run.progress = &options.progress;
    run.onHashFailure = &LogHashFailure;
    const DescriptorCopyOutcome outcome = CopyBetweenDescriptors(run);

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
    if (const ErrorCode code = CheckCopied(copy, outcome, options); code != ErrorCode::Success) {
        if (code != ErrorCode::FileHashMismatch) return code;
        keepTarget = true;  // Delete below removes it, with its event
        platform::SetModeOf(out.get(), copy.opened.mode | 0200);  // a read-only copy could not be deleted
        out.reset();
        FileOperations().Delete(copy.target);
        return ErrorCode::FileHashMismatch;
    }
    if (options.verifyHash && options.copiedSha256) *options.copiedSha256 = outcome.sha256;
    if (options.preserveTimestamps) platform::CopyFileTimes(copy.in, out.get());  // failures are ignored
    keepTarget = true;
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
        Error(operation + " failed for '" + U8(path) + "': " + U8(FormatWin32Error(win32Code)) +
              " (code: " + std::to_string(win32Code) + ")");
    } catch (...) {
    }
    Log().LogFileOperation(operation, path, false, win32Code, true);
}

ErrorCode FileOperations::GetFileInfo(const std::wstring& path, FileInfo& info) {
    Debug("Getting file info for: " + U8(path));
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
        if (CalculateSha256(path, hex) != ErrorCode::Success) Warning("Failed to calculate hash for: " + U8(path));
        else info.sha256 = hex;
    }
    return ErrorCode::Success;
}

ErrorCode FileOperations::GetOpenFileDigest(int file, const std::wstring& shownPath, uint64_t& size,
                                            std::string& sha256) {
    Debug("Getting file info for: " + U8(shownPath));
    platform::FileStat st;
    if (const uint32_t err = platform::StatFd(file, st)) {
        LogFileError("GetFileAttributesEx", shownPath, err);
        return MapWin32Error(err);
    }
    size = st.size;
    sha256.clear();
    if (size == 0) return ErrorCode::Success;
    Debug("Calculating SHA-256 hash for: " + U8(shownPath));
    if (CalculateSha256Of(file, shownPath, sha256) != ErrorCode::Success) {
        Warning("Failed to calculate hash for: " + U8(shownPath));
    }
    return ErrorCode::Success;
}

ErrorCode FileOperations::CalculateSha256(const std::wstring& path, std::string& hexOut) {
    Debug("Calculating SHA-256 hash for: " + U8(path));
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
    Debug("Copying file: " + U8(source) + " -> " + U8(target));
    const fs::path sourceNative = NativePath(source);
    const fs::path targetNative = NativePath(target);

    // 1-2. Existence tests throw on anything but absence.
    if (options.createDirectories) {
        const fs::path parent = targetNative.parent_path();
        if (!parent.empty() && !PathExists(parent)) {
            const ErrorCode created = EnsureDirectory(WidePath(parent));
            if (created != ErrorCode::Success) return created;
        }
    }
    if (PathExists(targetNative) && !options.overwrite) {
        Error("Target file exists and overwrite not allowed: " + U8(target));
        return ErrorCode::FileAccessDenied;
    }

    // 3. Look the source up (its size picks the path; its hash is taken while copying).
    Debug("Getting file info for: " + U8(source));
    platform::FileStat sourceInfo;
    if (const uint32_t err = platform::StatPath(sourceNative, sourceInfo)) {
        // The look-up's failure, then the copy's own, as a source that is not there gives both.
        LogFileError("GetFileAttributesEx", source, err);
        LogFileError("CopyFileEx", source, err);
        return MapWin32Error(err);
    }
    if (!sourceInfo.IsDirectory() && sourceInfo.size > 0) Debug("Calculating SHA-256 hash for: " + U8(source));
    const bool chunked = !sourceInfo.IsDirectory() && sourceInfo.size > kChunkedCopyThreshold;
    const auto fail = [&](const char* chunkedCall, const std::wstring& path, uint32_t err) {
        if (chunked) LogFileError(chunkedCall, path, err);
        else LogFileError("CopyFileEx", source, err);
        return MapWin32Error(err);
    };

    // Open the source and check what was opened.
    platform::UniqueFd in;
    platform::FileStat opened;
    if (const uint32_t err = platform::OpenForReading(sourceNative, in)) return fail("CreateFile (source)", source, err);
    if (const uint32_t err = platform::StatFd(in.get(), opened)) return fail("GetFileSizeEx", source, err);
    if (!opened.IsRegular()) return fail("CreateFile (source)", source, win32::kAccessDenied);

    const WholeCopy copy{source, target, targetNative, in.get(), opened};
    return chunked ? CopyInChunks(copy, options) : CopyThroughStagedFile(copy, options);
}

ErrorCode FileOperations::Delete(const std::wstring& path) {
    Debug("Deleting file: " + U8(path));
    if (const uint32_t err = platform::RemoveFile(NativePath(path))) {
        LogFileError("DeleteFile", path, err);
        return MapWin32Error(err);
    }
    Log().LogFileOperation("delete", path, true, 0, false);
    return ErrorCode::Success;
}

ErrorCode FileOperations::EnsureDirectory(const std::wstring& path) {
    Debug("Creating directory: " + U8(path));
    const fs::path native = NativePath(path);
    platform::FileStat st;
    if (platform::StatPath(native, st) == 0 && st.IsDirectory()) return ErrorCode::Success;
    // Mostly only the folder itself is missing: one call makes it, without looking again.
    uint32_t err = platform::CreateFolder(native);
    if (err != 0) err = CreateFolders(native);
    if (err != 0) {
        Error("Failed to create directory: " + U8(path) + " - " + U8(FormatWin32Error(err)));
        return ErrorCode::DirectoryCreateFailed;
    }
    Log().LogFileOperation("mkdir", path, true, 0, false);
    return ErrorCode::Success;
}

ErrorCode FileOperations::SetPermissions(const std::wstring& path, bool readOnly) {
    Debug("Setting file permissions for: " + U8(path));
    const fs::path native = NativePath(path);
    platform::FileStat st;
    if (const uint32_t err = platform::StatPath(native, st)) {
        LogFileError("GetFileAttributes", path, err);
        return MapWin32Error(err);
    }
    uint32_t mode = st.mode & 07777;
    mode = readOnly ? (mode & ~0222u) : (mode | 0200u);
    if (const uint32_t err = platform::SetMode(native, mode)) {
        LogFileError("SetFileAttributes", path, err);
        return MapWin32Error(err);
    }
    return ErrorCode::Success;
}

namespace {

ErrorCode CompareDigests(const std::string& expectedHex, const std::string& actualHex) {
    if (actualHex == expectedHex) return ErrorCode::Success;
    Error("Hash mismatch. Expected: " + expectedHex + ", Actual: " + actualHex);
    return ErrorCode::FileHashMismatch;
}

}  // namespace

ErrorCode FileOperations::VerifyFileIntegrity(const std::wstring& path, const std::string& expectedHex) {
    Debug("Verifying file integrity: " + U8(path));
    std::string actual;
    const ErrorCode hashed = CalculateSha256(path, actual);
    if (hashed != ErrorCode::Success) return hashed;
    return CompareDigests(expectedHex, actual);
}

ErrorCode FileOperations::VerifyOpenFileIntegrity(int file, const std::wstring& shownPath,
                                                  const std::string& expectedHex) {
    Debug("Verifying file integrity: " + U8(shownPath));
    std::string actual;
    const ErrorCode hashed = CalculateSha256Of(file, shownPath, actual);
    if (hashed != ErrorCode::Success) return hashed;
    return CompareDigests(expectedHex, actual);
}

ErrorCode FileOperations::VerifyFileDigest(const std::wstring& path, const std::string& expectedHex,
                                           const std::string& actualHex) {
    Debug("Verifying file integrity: " + U8(path));
    return CompareDigests(expectedHex, actualHex);
}

ErrorCode FileOperations::VerifyFileSignature(const std::wstring& path) {
    Debug("Verifying file signature: " + U8(path));
    const int32_t result = platform::VerifyAuthenticode(NativePath(path));
    if (result == platform::trust::kSuccess) return ErrorCode::Success;
    Error("Signature verification failed: " + std::to_string(result));
    return ErrorCode::SignatureVerificationFailed;
}

namespace {

// Told of every deletion tried by RemovePinnedTree: the item, and its error when it failed.
using DeletionReport = std::function<void(const std::wstring& item, bool success, uint32_t err)>;

// RemoveDirectoryTree without its DEBUG line; event receives what its file events say.
ErrorCode RemovePinnedTree(const std::wstring& path, bool recursive, int32_t* filesRemoved, int32_t* foldersRemoved,
                           const std::vector<std::string>& keepEntries, const DeletionReport& event) {
    const auto count = [](int32_t* counter) {
        if (counter) ++*counter;
    };

    // 1. Pin the root.
    PinnedRoot root;
    uint32_t err = 0;
    if (!OpenVerifiedHandle(path, root, err, kRemovalAccess)) {
        if (win32::IsNotFound(err)) return ErrorCode::Success;
        event(path, false, err);
        return ErrorCode::DirectoryAccessDenied;
    }

    // 2. Not recursive: the root alone.
    if (!recursive) {
        if (DeletePinnedRoot(root, err)) {
            event(path, true, 0);
            count(foldersRemoved);
            return ErrorCode::Success;
        }
        event(path, false, err);
        return ErrorCode::DirectoryAccessDenied;
    }

    std::wstring current = path;  // the path in hand, for an exception's event
    std::string currentNative;     // the walk's entry in hand, made wide only for an event
    try {
        // 3. Walk.
        std::string rootNative = Utf8FromPath(NativePath(path));
        while (rootNative.size() > 1 && rootNative.back() == static_cast<char>(kNativeSeparator)) rootNative.pop_back();
        std::vector<RemovalEntry> files;
        std::vector<RemovalEntry> folders;
        const std::optional<WalkFailure> failure =
            WalkTree(root, rootNative, files, folders, currentNative, keepEntries);
        if (failure) {
            event(failure->path, false, failure->win32Error);
            return ErrorCode::DirectoryAccessDenied;
        }
        currentNative.clear();
        // 4. Deeper folders first.
        SortDeeperFirst(folders);

        // 5-6. Files in walk order, then folders; a vanished item is passed over.
        const auto removeAll = [&](const std::vector<RemovalEntry>& entries, int32_t* counter) {
            for (const RemovalEntry& entry : entries) {
                current = entry.fullPath;
                bool refused = false;
                if (DeleteUnderPinnedRoot(root, entry.fullPath, entry.relativePath, err, refused)) {
                    event(entry.fullPath, true, 0);
                    count(counter);
                    continue;
                }
                event(entry.fullPath, false, err);
                if (refused || !win32::IsNotFound(err)) return false;
            }
            return true;
        };
        if (!removeAll(files, filesRemoved) || !removeAll(folders, foldersRemoved)) {
            return ErrorCode::DirectoryAccessDenied;
        }

        // 7. The root, unless an entry of it stays.
        for (const std::string& keepEntry : keepEntries) {
            platform::HandleInfo kept;
            if (platform::QueryEntryInfo(root.handle.get(), keepEntry, kept) == 0) return ErrorCode::Success;
        }
        current = path;
        if (DeletePinnedRoot(root, err)) {
            event(path, true, 0);
            count(foldersRemoved);
        } else {
            event(path, false, err);
            if (!win32::IsNotFound(err)) return ErrorCode::DirectoryAccessDenied;
        }
        return ErrorCode::Success;
    } catch (...) {
        const uint32_t code = CodeOfException(std::current_exception());
        try {
            if (!currentNative.empty()) current = LossyWide(currentNative);
        } catch (...) {
        }
        event(current, false, code);
        return ErrorCode::DirectoryAccessDenied;
    }
}

}  // namespace

ErrorCode FileOperations::RemoveDirectoryTree(const std::wstring& path, bool recursive, int32_t* filesRemoved,
                                              int32_t* foldersRemoved, const std::vector<std::string>& keepEntries) {
    Debug("Removing directory: " + U8(path));
    return RemovePinnedTree(path, recursive, filesRemoved, foldersRemoved, keepEntries,
                            [](const std::wstring& item, bool success, uint32_t err) {
                                Log().LogFileOperation("delete", item, success, success ? 0 : err, true);
                            });
}

uint32_t RemoveTreeWithoutEvents(const std::wstring& path) {
    uint32_t failure = 0;  // the last failed deletion is the one that ended the removal
    const ErrorCode code = RemovePinnedTree(path, true, nullptr, nullptr, {},
                                            [&](const std::wstring&, bool success, uint32_t err) {
                                                if (!success) failure = err;
                                            });
    if (code == ErrorCode::Success) return 0;
    return failure != 0 ? failure : win32::kAccessDenied;
}

}  // namespace zuvelo
