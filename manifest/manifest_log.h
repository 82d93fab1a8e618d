#pragma once

#include <cstdint>
#include <string>

#include "common/error_codes.h"
#include "common/jsonl_logger.h"
#include "manifest/update_manifest.h"

namespace zuvelo {

// The diagnostic lines of ManifestHandler, whose work is spread over several files.
inline constexpr ComponentLogger kManifestLog{"ManifestHandler"};

// The ERROR lines of a file that is not what its entry describes; 142.
inline ErrorCode ReportSizeMismatch(const ManifestFileEntry& entry, uint64_t actual) {
    kManifestLog.Error("File size mismatch for " + entry.relativePath + ". Expected: " + std::to_string(entry.size) +
                       ", Actual: " + std::to_string(actual));
    return ErrorCode::FileHashMismatch;
}
inline ErrorCode ReportHashMismatch(const ManifestFileEntry& entry, ErrorCode code) {
    kManifestLog.Error("Hash verification failed for: " + entry.relativePath);
    return code;
}

}  // namespace zuvelo
