#pragma once

#include <cstdint>
#include <filesystem>

#include "platform/unique_fd.h"

// Opening a file below a folder held open, never following a link on the way,
// so that what was checked by name is what gets read. Every function returns 0
// or the Windows number of the failure (platform/win32_error.h).
namespace zuvelo::platform {

// Holds a folder: open(O_PATH|O_NOFOLLOW), which must give a folder. 2 or 3 when it is
// missing (3 also when a parent is); 267 when a file or a link stands there.
uint32_t PinFolder(const std::filesystem::path& folder, UniqueFd& out);

// Opens relative (plain components, no "." or "..") below the folder held as
// rootFd for reading, one component at a time without following links.
// linkFound is set when a link stands anywhere on the way; the result is then 5.
// An empty relative path opens the folder itself.
uint32_t OpenForReadingBeneath(int rootFd, const std::filesystem::path& relative, UniqueFd& out, bool& linkFound);

// Holds the folder relative (plain components) below rootFd, reached one
// component at a time without following links; with createMissing, missing
// folders are made (mode 0755) on the way. unsafe is set when a link or any
// non-folder stands where a folder must be; the result is then 5, and nothing
// was created below it. An empty relative path holds the root itself.
uint32_t OpenFolderBeneath(int rootFd, const std::filesystem::path& relative, bool createMissing, UniqueFd& out,
                           bool& unsafe);

}  // namespace zuvelo::platform
