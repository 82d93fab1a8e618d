#include "install/orphan_candidates.h"

#include <algorithm>
#include <exception>
#include <filesystem>

#include "common/jsonl_logger.h"
#include "common/paths.h"
#include "common/text.h"
#include "install/orphan_report.h"
#include "platform/win32_error.h"

namespace zuvelo {

namespace {

namespace win32 = platform::win32;

constexpr const char* kComponent = "orphan_cleanup";
// Written by the receipt step before this one, at the top of the target.
constexpr const wchar_t* kReceiptKey = L"installreceipt.json";

JsonlLogger& Log() { return JsonlLogger::Instance(); }

std::wstring WideKey(const std::string& key) {
    std::wstring wide = Utf8ToWide(key);
    std::replace(wide.begin(), wide.end(), L'\\', L'/');
    return wide;
}

size_t Depth(const OrphanCandidate& candidate) {
    return static_cast<size_t>(std::count(candidate.relativeKey.begin(), candidate.relativeKey.end(), '/'));
}

std::wstring PathToDelete(const OrphanCandidate& candidate, const std::wstring& targetPath) {
    if (!candidate.fullPath.empty()) return candidate.fullPath;
    return WidePath(NativePath(targetPath) / PathFromUtf8(candidate.relativePath));
}

void FileEvent(const std::wstring& path, bool success, uint32_t win32Error) {
    Log().LogFileOperation("delete", path, success, success ? 0 : win32Error, true);
}

void SkipLocked(OrphanCleanupResult& result, const std::string& key, const std::string& error) {
    ++result.filesSkipped;
    result.skippedPaths.push_back(key);
    EmitOrphanSkippedLocked(key, error);
}

bool InKeptTree(const std::string& key, const std::set<std::string>& keptTrees) {
    for (const std::string& tree : keptTrees) {
        if (key == tree || (key.size() > tree.size() && key.starts_with(tree) && key[tree.size()] == '/')) return true;
    }
    return false;
}

// False after a containment failure.
bool DeleteOrphanFile(const OrphanCandidate& file, const std::wstring& targetPath, const PinnedRoot& root,
                      OrphanCleanupResult& result) {
    std::wstring path;
    try {
        path = PathToDelete(file, targetPath);
        const SystemError err = DeleteUnderPinnedRoot(root, path, file.relativePath);
        if (!err) {
            FileEvent(path, true, 0);
            ++result.filesRemoved;
            result.bytesFreed += file.size;
            EmitOrphanRemoved(file.relativeKey, file.size);
            return true;
        }
        FileEvent(path, false, err.code());
        if (err.refused()) {
            Log().LogError(ErrorCode::FileDeleteFailed, kComponent,
                           "Fatal containment failure while deleting: " + file.relativeKey);
            return false;
        }
        if (!err.IsNotFound()) SkipLocked(result, file.relativeKey, WideToUtf8Lossy(FormatWin32Error(err.code())));
        return true;
    } catch (const std::exception& e) {
        FileEvent(path, false, 0);
        SkipLocked(result, file.relativeKey, e.what());
        return true;
    }
}

bool DeleteOrphanDirectory(const OrphanCandidate& directory, const std::wstring& targetPath, const PinnedRoot& root,
                           OrphanCleanupResult& result) {
    std::wstring path;
    try {
        path = PathToDelete(directory, targetPath);
        const SystemError err = DeleteUnderPinnedRoot(root, path, directory.relativePath);
        if (!err) {
            FileEvent(path, true, 0);
            ++result.dirsRemoved;
            EmitOrphanRemoved(directory.relativeKey, 0);
            return true;
        }
        FileEvent(path, false, err.code());
        if (err.refused()) {
            Log().LogError(ErrorCode::FileDeleteFailed, kComponent,
                           "Fatal containment failure while deleting directory: " + directory.relativeKey);
            return false;
        }
        if (!err.IsNotFound()) {
            Log().LogDiagnostic(LogLevel::Warning,
                                "Failed to remove directory " + directory.relativeKey + ": " +
                                    WideToUtf8Lossy(FormatWin32Error(err.code())),
                                kComponent);
        }
        return true;
    } catch (const std::exception& e) {
        FileEvent(path, false, 0);
        Log().LogDiagnostic(LogLevel::Warning, directory.relativeKey + ": " + e.what());
        return true;
    }
}

}  // namespace

ErrorCode ComputeOrphans(const std::vector<InventoryEntry>& inventory, const std::set<std::string>& expected,
                         const std::set<std::string>& allowlist, std::vector<OrphanCandidate>& files,
                         std::vector<OrphanCandidate>& directories, const std::set<std::string>& keptTrees) {
    Log().LogDiagnostic(LogLevel::Info, "Computing orphans from " + std::to_string(inventory.size()) +
                                            " observed items against " + std::to_string(expected.size()) +
                                            " expected files");
    std::set<std::string> expectedDirectories = BuildExpectedDirectories(expected);
    expectedDirectories.merge(BuildExpectedDirectories(keptTrees));
    expectedDirectories.insert(allowlist.begin(), allowlist.end());
    WidePathSet keptFiles = ToWidePathSet(expected);
    keptFiles.insert(kReceiptKey);
    const WidePathSet keptDirectories = ToWidePathSet(expectedDirectories);

    for (const InventoryEntry& entry : inventory) {
        const std::wstring key = WideKey(entry.relativeKey);
        OrphanCandidate candidate{entry.relativeKey, entry.relativePath, entry.fullPath, 0, entry.isDirectory};
        if (InKeptTree(entry.relativeKey, keptTrees)) {
            continue;
        } else if (entry.isSymlink) {
            (entry.isDirectory ? directories : files).push_back(std::move(candidate));
        } else if (IsAllowlisted(entry.relativeKey, allowlist)) {
            continue;
        } else if (entry.isDirectory) {
            if (!keptDirectories.contains(key)) directories.push_back(std::move(candidate));
        } else if (!keptFiles.contains(key)) {
            candidate.size = entry.size;
            files.push_back(std::move(candidate));
        }
    }
    std::stable_sort(directories.begin(), directories.end(),
                     [](const OrphanCandidate& a, const OrphanCandidate& b) { return Depth(a) > Depth(b); });
    Log().LogDiagnostic(LogLevel::Info, "Found " + std::to_string(files.size()) + " orphan files and " +
                                            std::to_string(directories.size()) + " orphan directories");
    return ErrorCode::Success;
}

ErrorCode DeleteOrphans(const OrphanCleanupOptions& options, const std::wstring& targetPath, const PinnedRoot& root,
                        const std::vector<OrphanCandidate>& files, const std::vector<OrphanCandidate>& directories,
                        OrphanCleanupResult& result) {
    if (options.dryRun) {
        Log().LogDiagnostic(LogLevel::Info, "Dry-run mode: would remove " + std::to_string(files.size()) +
                                                " files and " + std::to_string(directories.size()) + " directories");
        return ErrorCode::Success;
    }
    result.deletionStarted = true;
    for (const OrphanCandidate& file : files) {
        if (!DeleteOrphanFile(file, targetPath, root, result)) return ErrorCode::FileDeleteFailed;
    }
    for (const OrphanCandidate& directory : directories) {
        if (!DeleteOrphanDirectory(directory, targetPath, root, result)) return ErrorCode::FileDeleteFailed;
    }
    return ErrorCode::Success;
}

}  // namespace zuvelo
