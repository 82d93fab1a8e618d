#include "manifest/cache_folder.h"

#include <string>

#include "common/error_codes.h"
#include "common/jsonl_logger.h"
#include "common/paths.h"
#include "common/text.h"
#include "manifest/manifest_log.h"
#include "platform/private_folder.h"

namespace zuvelo {

namespace {

std::string RefusalMessage(const std::filesystem::path& cacheDir, platform::PrivateFolderState state) {
    return "Refusing cache folder " + ToUtf8Lossy(cacheDir) + ": it is " + platform::DescribePrivateFolderState(state);
}

ErrorCode CreateFailed(const std::filesystem::path& folder, uint32_t error) {
    LogManifest(LogLevel::Error, "Failed to create directory: " + ToUtf8Lossy(folder) + " - " +
                                     WideToUtf8Lossy(FormatWin32Error(error)));
    return ErrorCode::DirectoryCreateFailed;
}

// Usable (made now when missing), Failed, or the reason it is refused.
platform::PrivateFolderState EnsureCacheFolder(const std::filesystem::path& cacheDir, uint32_t& error) {
    bool created = false;
    const platform::PrivateFolderState state = platform::EnsurePrivateFolder(cacheDir, created, error);
    if (created) JsonlLogger::Instance().LogFileOperation("mkdir", WidePath(cacheDir), true, 0, false);
    return state;
}

}  // namespace

ErrorCode PrepareCacheFolder(const std::filesystem::path& cacheDir) {
    uint32_t error = 0;
    const platform::PrivateFolderState state = EnsureCacheFolder(cacheDir, error);
    if (state == platform::PrivateFolderState::Failed) return CreateFailed(cacheDir, error);
    if (state != platform::PrivateFolderState::Usable) {
        LogManifest(LogLevel::Error, RefusalMessage(cacheDir, state));
        return ErrorCode::DirectoryCreateFailed;
    }
    return ErrorCode::Success;
}

ErrorCode PrepareCacheFolderOrReplacement(std::filesystem::path& cacheDir, bool& replaced) {
    replaced = false;
    uint32_t error = 0;
    const platform::PrivateFolderState state = EnsureCacheFolder(cacheDir, error);
    if (state == platform::PrivateFolderState::Usable) return ErrorCode::Success;
    if (state == platform::PrivateFolderState::Failed) return CreateFailed(cacheDir, error);
    std::filesystem::path fresh;
    if ((error = platform::MakeFreshPrivateFolder(cacheDir.parent_path(), cacheDir.filename().native() + ".", fresh))) {
        LogManifest(LogLevel::Error, RefusalMessage(cacheDir, state));
        return CreateFailed(fresh.empty() ? cacheDir.parent_path() : fresh, error);
    }
    LogManifest(LogLevel::Warning, RefusalMessage(cacheDir, state) + "; using " + ToUtf8Lossy(fresh) + " for this run");
    cacheDir = fresh;
    replaced = true;
    return ErrorCode::Success;
}

CacheFolderState CheckCacheFolder(const std::filesystem::path& cacheDir) {
    uint32_t error = 0;
    const platform::PrivateFolderState state = platform::InspectPrivateFolder(cacheDir, error);
    if (state == platform::PrivateFolderState::Usable) return CacheFolderState::Usable;
    if (state == platform::PrivateFolderState::Missing) return CacheFolderState::Missing;
    LogManifest(LogLevel::Warning, RefusalMessage(cacheDir, state));
    return CacheFolderState::Refused;
}

}  // namespace zuvelo
