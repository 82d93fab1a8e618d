#pragma once

#include <filesystem>
#include <string>

#include "common/error_codes.h"
#include "manifest/update_manifest.h"

namespace zuvelo {

class ManifestHandler;

// Installs the file open as sourceFd as the target of entry. The file is read
// once: hashed while it is copied into a new file beside the target, which is
// renamed over the target only when its size and SHA-256 match the entry, so a
// source replaced after it was opened is never installed and a failed copy
// leaves the old target as it was. A read-only target is made writable first.
// Messages, events and results are those of verifying and installing a file by name.
ErrorCode InstallOpenFile(ManifestHandler& handler, const ManifestFileEntry& entry, int sourceFd,
                          const std::filesystem::path& sourcePath, const std::wstring& targetRoot);

}  // namespace zuvelo
