#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include <json/value.h>

#include "common/error_codes.h"

namespace zuvelo {

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
    ErrorCode readResult = ErrorCode::Success;  // 141 missing, 140 cannot be opened, 121 not JSON
    std::string parseErrors;                    // the reader's text when 121
    Json::Value document;                       // the parsed document when 0
};

// Throws only what the path conversion throws (an embedded NUL, invalid text).
PreparedSessionDescriptor ReadPreparedSessionDescriptor(const std::wstring& filesManifestPath);

}  // namespace zuvelo
