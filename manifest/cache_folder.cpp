#include "manifest/cache_folder.h"

#include "common/jsonl_logger.h"
#include "common/private_temp_folder.h"
#include "manifest/manifest_log.h"
#include "platform/private_folder.h"

namespace zuvelo {

namespace {

constexpr PrivateFolderRole kCacheFolder{kManifestLog, "cache folder"};

}  // namespace

ErrorCode PrepareCacheFolder(const std::filesystem::path& cacheDir) {
    return PreparePrivateFolder(cacheDir, kCacheFolder);
}

ErrorCode PrepareCacheFolderOrReplacement(std::filesystem::path& cacheDir, bool& replaced) {
    return PreparePrivateFolderOrReplacement(cacheDir, replaced, kCacheFolder);
}

CacheFolderState CheckCacheFolder(const std::filesystem::path& cacheDir) {
    uint32_t error = 0;
    const platform::PrivateFolderState state = platform::InspectPrivateFolder(cacheDir, error);
    if (state == platform::PrivateFolderState::Usable) return CacheFolderState::Usable;
    if (state == platform::PrivateFolderState::Missing) return CacheFolderState::Missing;
    kManifestLog.Warning(PrivateFolderRefusal(cacheDir, state, kCacheFolder));
    return CacheFolderState::Refused;
}

}  // namespace zuvelo
