#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zuvelo {

// What one orphan cleanup did; owned by the plan step that runs it and filled
// by the cleanup's steps.
struct OrphanCleanupResult {
    uint32_t filesRemoved = 0;
    uint32_t dirsRemoved = 0;
    uint64_t bytesFreed = 0;                // inventory sizes of the deleted files
    uint32_t filesSkipped = 0;              // orphan files that could not be deleted
    std::vector<std::string> skippedPaths;  // their keys, in the order met
    bool localInventoryWriteFailed = false;
    bool orphanReportWriteFailed = false;
    std::string warnings;  // each text ends in "; "
    bool skipped = false;
    std::string skipReason;
    uint32_t systemErrorCode = 0;  // Win32 error of the skip, 0 when none
    // Set before the first real deletion: from then on the run can no longer be
    // reported as skipped, whatever happens.
    bool deletionStarted = false;
};

struct OrphanCleanupOptions {
    bool dryRun = false;
    // Relative paths of every entry of the manifest applied to this target
    // earlier in the same plan. The files manifest may leave out files that were
    // already right at the target, so these are expected as well.
    std::vector<std::string> releaseFiles;
};

}  // namespace zuvelo
