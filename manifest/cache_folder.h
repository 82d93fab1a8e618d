#pragma once

#include <filesystem>

#include "common/error_codes.h"

// The download cache lives in the shared temporary folder, so it is used only
// while it is a private folder of this user.
namespace zuvelo {

enum class CacheFolderState { Usable, Missing, Refused };

// 0 when the folder is there (created now, mode 0700, when missing) and
// private; 146 with an ERROR line when it cannot be made or is refused.
ErrorCode PrepareCacheFolder(const std::filesystem::path& cacheDir);

// PrepareCacheFolder, except that a refused folder (a link, not a folder,
// another owner's, open to others) is replaced by a fresh private folder beside
// it, made for this run: cacheDir then names it, replaced is set, and a WARNING
// names the refused folder. Nobody can block the programs by making the name first.
ErrorCode PrepareCacheFolderOrReplacement(std::filesystem::path& cacheDir, bool& replaced);

// Whether the folder may be used as it stands; never creates it. A refusal is
// logged as a WARNING.
CacheFolderState CheckCacheFolder(const std::filesystem::path& cacheDir);

}  // namespace zuvelo
