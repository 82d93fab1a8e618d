#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "common/error_codes.h"
#include "common/pinned_removal.h"
#include "install/orphan_cleanup_result.h"
#include "install/orphan_inventory.h"

// Which objects under the installation folder are orphans, and their deletion
// below the pinned root.
namespace zuvelo {

struct OrphanCandidate {
    std::string relativeKey;
    std::string relativePath;  // as spelled on disk
    std::wstring fullPath;
    uint64_t size = 0;  // the inventory size of a regular file, else 0
    bool isDirectory = false;
};

// Files in walk order and folders deepest first. An entry at or below a key of
// keptTrees (the session's own files when they lie in the target) is never a
// candidate, nor is a folder on the way to one. Otherwise a link (or a folder
// on another mount) is always a candidate, and an entry is kept when it is
// allowlisted, a file whose key is expected (or the install receipt at the
// top), or a folder on the way to an expected file or named like an allowlist
// entry. Returns 0; bad UTF-8 or an over-long path throws.
ErrorCode ComputeOrphans(const std::vector<InventoryEntry>& inventory, const std::set<std::string>& expected,
                         const std::set<std::string>& allowlist, std::vector<OrphanCandidate>& files,
                         std::vector<OrphanCandidate>& directories, const std::set<std::string>& keptTrees = {});

// Deletes the files, then the folders, through the pinned root (a link as
// itself), with their events and counters; in dry run only says what it would
// do. Vanished objects are passed over, locked files counted as skipped,
// folders that cannot go only warned about. Returns 145 at the first
// containment failure (nothing more is deleted), else 0.
ErrorCode DeleteOrphans(const OrphanCleanupOptions& options, const std::wstring& targetPath, const PinnedRoot& root,
                        const std::vector<OrphanCandidate>& files, const std::vector<OrphanCandidate>& directories,
                        OrphanCleanupResult& result);

}  // namespace zuvelo
