#include <algorithm>
#include <filesystem>
#include <string>

#include "common/paths.h"
#include "manifest/manifest_handler.h"
#include "manifest/manifest_log.h"
#include "platform/file_io.h"

namespace zuvelo {

namespace {

namespace fs = std::filesystem;

// Where a folder yet to be made will lie: the nearest folder at or above path that exists.
fs::path ExistingFolderAtOrAbove(fs::path path) {
    platform::FileStat st;
    while ((platform::StatPath(path, st) != 0 || !st.IsDirectory()) && path.has_relative_path()) {
        path = path.parent_path();
    }
    return path;
}

}  // namespace

ErrorCode ManifestHandler::CheckRoomForRelease(const UpdateManifest& manifest, const std::wstring& targetPath,
                                               const std::set<std::string>* onlyThese) {
    // A target that is not there yet replaces nothing.
    const bool held = OpenTarget(targetPath, false) == ErrorCode::Success;
    uint64_t added = 0;
    uint64_t replaced = 0;
    uint64_t largest = 0;
    for (const ManifestFileEntry& entry : manifest.files) {
        if (!entry.isRequired || (onlyThese && !onlyThese->contains(entry.relativePath))) continue;
        added += entry.size;
        largest = std::max(largest, entry.size);
        if (held) replaced += target_.SizeOfExisting(entry.relativePath);
    }
    const uint64_t needed = (added > replaced ? added - replaced : 0) + largest;
    uint64_t available = 0;
    if (system_->QueryFreeBytes(ExistingFolderAtOrAbove(NativePath(targetPath)), available) != 0) available = 0;
    if (available >= needed) return ErrorCode::Success;
    kManifestLog.Error("Insufficient disk space for the update. Available: " + std::to_string(available) +
                       " bytes, Required: " + std::to_string(needed) + " bytes");
    return ErrorCode::InsufficientDiskSpace;
}

}  // namespace zuvelo
