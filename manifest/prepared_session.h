#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include <json/value.h>

#include "common/error_codes.h"

namespace zuvelo {

// The largest files manifest read (by the prepared session and the orphan
// cleanup). At most 10,000 elements of two paths, a size and a hash come to some
// MiB even with the longest paths escaped; past this a file is refused unread
// as unparsable, so a hostile one cannot claim the memory.
inline constexpr uint64_t kMaxFilesManifestBytes = 32ull * 1024 * 1024;

// One element of a prepared session's files manifest.
struct PreparedFileEntry {
    std::filesystem::path path;        // where the file lies, as the descriptor says
    uint64_t bytes = 0;                // 0 when absent
    std::string sha256;                // any case; empty when absent
    std::filesystem::path withinRoot;  // its resolved place below the session root
};

// A prepared session's files manifest as read from disk, once: the backup
// restriction and the installation both work from this copy. Reading logs
// nothing; whoever processes it reports what was found.
struct PreparedSessionDescriptor {
    std::filesystem::path path;
    ErrorCode readResult = ErrorCode::Success;  // 141 missing, 140 cannot be opened, 121 not JSON or too large
    std::string parseErrors;                    // the reader's text (or the size refusal) when 121
    Json::Value document;                       // the parsed document when 0
};

// Throws only what the path conversion throws (an embedded NUL, invalid text).
PreparedSessionDescriptor ReadPreparedSessionDescriptor(const std::wstring& filesManifestPath);

}  // namespace zuvelo
