#pragma once

#include <filesystem>
#include <string>

#include "common/error_codes.h"
#include "manifest/target_folder.h"
#include "manifest/update_manifest.h"

// Every write into an installation: a new file is copied into a staged file
// beside its final name, given its permissions and times, and renamed over the
// final name only when it is whole and right, so a failed or interrupted write
// leaves the old file whole and a link at the final name is replaced as itself.
namespace zuvelo {

// Saves the file open as sourceFd at dest, a new file (its folder made as
// needed), with its bytes, times, permission bits, owner and group.
ErrorCode SaveOpenFile(int sourceFd, const std::filesystem::path& sourcePath, const std::filesystem::path& dest);

// Puts a saved file back at relativePath, staged and renamed like an
// installed file, with the saved file's bytes, times, permission bits, owner
// and group. 0, or the code of the step that failed.
ErrorCode RestoreSavedFile(TargetFolder& target, const std::string& relativePath, const std::filesystem::path& saved);

}  // namespace zuvelo
