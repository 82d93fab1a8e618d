#pragma once

#include <filesystem>
#include <string>

#include "common/error_codes.h"

namespace zuvelo {

// Puts a verified download at <h8>/<sha256> in the cache and leaves the
// download's folders in place, for the next file that shares them.
ErrorCode MoveDownloadIntoCache(const std::filesystem::path& cacheDir, const std::filesystem::path& downloaded,
                                const std::string& sha256);

// Removes folder and its parents below cacheDir while they are empty.
void RemoveEmptiedFolders(const std::filesystem::path& cacheDir, std::filesystem::path folder);

}  // namespace zuvelo
