#pragma once

#include <filesystem>
#include <string>

#include "common/error_codes.h"
#include "common/jsonl_logger.h"
#include "platform/private_folder.h"

// Folders a privileged run keeps in the shared temporary folder (download
// cache, prerequisite downloads) are used only while they are private folders
// of this user.
namespace zuvelo {

// Who keeps the folder, for its log lines.
struct PrivateFolderRole {
    ComponentLogger log;  // writes its lines
    const char* name;     // what the folder is called in them, e.g. "cache folder"
};

// 0 when the folder is there (created now, mode 0700, when missing) and
// private; 146 with an ERROR line when it cannot be made or is refused.
ErrorCode PreparePrivateFolder(const std::filesystem::path& folder, const PrivateFolderRole& role);

// PreparePrivateFolder, except that a refused folder (a link, not a folder,
// another owner's, open to others) is replaced by a fresh private folder beside
// it, made for this run: folder then names it, replaced is set, and a WARNING
// names the refused folder. Nobody can block the programs by making the name first.
ErrorCode PreparePrivateFolderOrReplacement(std::filesystem::path& folder, bool& replaced, const PrivateFolderRole& role);

// "Refusing <name> <folder>: it is <why>".
std::string PrivateFolderRefusal(const std::filesystem::path& folder, platform::PrivateFolderState state,
                                 const PrivateFolderRole& role);

}  // namespace zuvelo
