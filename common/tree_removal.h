#pragma once

#include <string>

#include "common/system_error.h"

// Removing a folder with everything in it from its pinned root: the walk finds what lies
// below (never through a link, never into another mount), and every item goes through
// the handle-verified removal of pinned_removal.h, files first, then folders deeper
// first, then the root. FileOperations::RemoveDirectoryTree is this removal with its
// DEBUG line and a file event for each deletion tried.
namespace zuvelo {

// The recursive RemoveDirectoryTree without its DEBUG line and file events, for folders
// the programs keep for themselves: nothing below is followed through a link (a link
// goes as itself), read-only files go too. 0 (a missing folder included) or the failure
// that stopped it.
SystemError RemoveTreeWithoutEvents(const std::wstring& path);

}  // namespace zuvelo
