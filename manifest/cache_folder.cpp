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

}  // namespace

ErrorCode PrepareCacheFolder(const std::filesystem::path& cacheDir) {
    bool created = false;
    uint32_t error = 0;
    const platform::PrivateFolderState state = platform::EnsurePrivateFolder(cacheDir, created, error);
    if (state == platform::PrivateFolderState::Failed) {
        LogManifest(LogLevel::Error, "Failed to create directory: " + ToUtf8Lossy(cacheDir) + " - " +
                                         WideToUtf8Lossy(FormatWin32Error(error)));
        return ErrorCode::DirectoryCreateFailed;
    }
    if (state != platform::PrivateFolderState::Usable) {
        LogManifest(LogLevel::Error, RefusalMessage(cacheDir, state));
        return ErrorCode::DirectoryCreateFailed;
    }
    if (created) JsonlLogger::Instance().LogFileOperation("mkdir", WidePath(cacheDir), true, 0, false);
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
