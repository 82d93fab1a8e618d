#pragma once

#include <cstdint>

namespace zuvelo {

// What one uninstall run did; zeroed by the entry, filled by the run.
struct UninstallStats {
    int32_t processesTerminated = 0;  // product processes that were running and were ended
    int32_t shortcutsRemoved = 0;     // shortcut files deleted
    int32_t registryKeysRemoved = 0;  // 1 when the uninstall entry was deleted
    int32_t filesRemoved = 0;
    int32_t directoriesRemoved = 0;
    uint32_t durationMs = 0;
    bool success = false;  // true only after a complete run (not after a declined one)
};

}  // namespace zuvelo
