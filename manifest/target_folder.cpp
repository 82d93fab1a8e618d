#include "manifest/target_folder.h"

#include <algorithm>

#include "common/file_operations.h"
#include "common/paths.h"
#include "common/text.h"
#include "manifest/manifest_log.h"
#include "platform/handles.h"
#include "platform/open_beneath.h"
#include "platform/staged_file.h"
#include "platform/win32_error.h"

namespace zuvelo {

namespace {

namespace fs = std::filesystem;

ErrorCode Unsafe(const std::string& shown) {
    kManifestLog.Error("Unsafe path in target: " + shown);
    return ErrorCode::InvalidArguments;
}

std::string FolderOf(const std::string& relativePath) {
    const size_t cut = relativePath.find_last_of("\\/");
    return cut == std::string::npos ? std::string() : relativePath.substr(0, cut);
}

// The folders on the way to relativeFolder that are missing now, outermost first.
std::vector<std::string> MissingFolders(int rootFd, const std::string& relativeFolder) {
    std::vector<std::string> missing;
    std::string prefix;
    for (size_t start = 0; start <= relativeFolder.size();) {
        const size_t end = std::min(relativeFolder.find_first_of("\\/", start), relativeFolder.size());
        if (end > start) {
            prefix += (prefix.empty() ? "" : "/") + relativeFolder.substr(start, end - start);
            platform::UniqueFd held;
            bool unsafe = false;
            if (!missing.empty() || platform::OpenFolderBeneath(rootFd, NativePathUtf8(prefix), false, held, unsafe) ==
                                        platform::win32::kFileNotFound) {
                missing.push_back(prefix);
            }
        }
        start = end + 1;
    }
    return missing;
}

}  // namespace

std::string FileNameOf(const std::string& relativePath) {
    const size_t cut = relativePath.find_last_of("\\/");
    return cut == std::string::npos ? relativePath : relativePath.substr(cut + 1);
}

ErrorCode TargetFolder::Open(const std::wstring& targetPath, bool create) {
    root_.reset();
    path_ = targetPath;
    native_ = NativePath(targetPath);
    if (create) {
        if (const ErrorCode code = FileOperations().EnsureDirectory(targetPath); code != ErrorCode::Success) {
            return code;
        }
    }
    platform::UniqueFd root;
    if (const uint32_t err = platform::PinFolder(native_, root)) {
        if (platform::win32::IsNotFound(err)) return ErrorCode::FileNotFound;
        return Unsafe(WideToUtf8Lossy(targetPath));  // a link, or not a folder
    }
    root_ = std::move(root);
    cleaned_.clear();
    ForgetLastFolder();
    CleanOnce(root_.get(), native_);
    return ErrorCode::Success;
}

void TargetFolder::CleanOnce(int folderFd, const fs::path& shown) {
    platform::FileStat folder;
    if (platform::StatFd(folderFd, folder) != 0) return;
    for (const platform::FileStat& done : cleaned_) {
        if (done.SameFile(folder)) return;
    }
    cleaned_.push_back(folder);
    if (const int removed = platform::RemoveStagedLeftovers(folderFd); removed > 0) {
        kManifestLog.Info("Removed " + std::to_string(removed) +
                          " leftover staged file(s) of an interrupted run in: " + ToUtf8Lossy(shown));
    }
}

bool TargetFolder::IsOpenAt(const std::wstring& targetPath) const {
    if (!root_.valid() || path_ != targetPath) return false;
    platform::HandleInfo held;
    platform::HandleInfo named;
    return platform::QueryHandleInfo(root_.get(), held) == 0 && platform::QueryPathInfo(native_, false, named) == 0 &&
           held.SameObject(named);
}

ErrorCode TargetFolder::OpenParentFolder(const std::string& relativePath, int& folderFd) {
    const std::string relativeFolder = FolderOf(relativePath);
    made_.clear();
    if (lastFolderFd_ && relativeFolder == lastFolder_) {
        folderFd = lastFolderFd_.get();
        return ErrorCode::Success;
    }
    ForgetLastFolder();
    platform::UniqueFd folder;
    bool unsafe = false;
    uint32_t err = platform::OpenFolderBeneath(root_.get(), NativePathUtf8(relativeFolder), false, folder, unsafe);
    if (err == platform::win32::kFileNotFound && !unsafe) {
        made_ = MissingFolders(root_.get(), relativeFolder);
        err = platform::OpenFolderBeneath(root_.get(), NativePathUtf8(relativeFolder), true, folder, unsafe);
    }
    if (unsafe) return Unsafe(relativePath);
    if (err != 0) {
        kManifestLog.Error("Failed to create directory: " + ToUtf8Lossy(PathOf(relativeFolder)) + " - " +
                           WideToUtf8Lossy(FormatWin32Error(err)));
        return ErrorCode::DirectoryCreateFailed;
    }
    CleanOnce(folder.get(), PathOf(relativeFolder));
    lastFolder_ = relativeFolder;
    lastFolderFd_ = std::move(folder);
    folderFd = lastFolderFd_.get();
    return ErrorCode::Success;
}

void TargetFolder::ForgetLastFolder() {
    lastFolderFd_.reset();
    lastFolder_.clear();
}

void TargetFolder::RemoveMadeFolders() {
    if (!made_.empty()) ForgetLastFolder();  // the folder held last is the deepest made
    for (auto made = made_.rbegin(); made != made_.rend(); ++made) {
        platform::UniqueFd parent;
        bool unsafe = false;
        // A folder that holds something now, or is gone, stays as it is, and so do those above it.
        if (platform::OpenFolderBeneath(root_.get(), NativePathUtf8(FolderOf(*made)), false, parent, unsafe) != 0 ||
            platform::RemoveEntryAt(parent.get(), FileNameOf(*made), true) != 0) {
            break;
        }
    }
    made_.clear();
}

void TargetFolder::StatExisting(const std::string& relativePath, std::optional<platform::FileStat>& existing,
                                bool& unsafe) const {
    existing.reset();
    platform::UniqueFd folder;
    unsafe = false;
    platform::OpenFolderBeneath(root_.get(), NativePathUtf8(FolderOf(relativePath)), false, folder, unsafe);
    if (unsafe) return;
    platform::FileStat st;
    if (folder && platform::StatEntry(folder.get(), FileNameOf(relativePath), st) == 0 && st.IsRegular()) {
        existing = st;
    }
}

uint64_t TargetFolder::SizeOfExisting(const std::string& relativePath) const {
    std::optional<platform::FileStat> existing;
    bool unsafe = false;
    StatExisting(relativePath, existing, unsafe);
    return existing ? existing->size : 0;
}

uint32_t TargetFolder::OpenFile(const std::string& relativePath, platform::UniqueFd& out, bool& linkFound) const {
    return platform::OpenForReadingBeneath(root_.get(), NativePathUtf8(relativePath), out, linkFound);
}

fs::path TargetFolder::PathOf(const std::string& relativePath) const {
    return relativePath.empty() ? native_ : native_ / NativePathUtf8(relativePath);
}

}  // namespace zuvelo
