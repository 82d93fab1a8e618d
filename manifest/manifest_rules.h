#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Limits and text patterns every manifest must keep.
namespace zuvelo {

inline constexpr size_t kMaxManifestFiles = 10000;
inline constexpr size_t kMaxManifestPathBytes = 260;
inline constexpr uint64_t kMaxManifestFileSize = 2147483648ull;  // 2 GiB
// The largest manifest downloaded. 10,000 entries with the longest paths, their
// hashes and URLs come to some MiB (under 2 KiB an entry even with every path
// written in escapes); past this the download stops and the manifest is refused
// as unparsable, so a hostile one cannot claim the memory.
inline constexpr uint64_t kMaxManifestBytes = 32ull * 1024 * 1024;

// ^\d+\.\d+\.\d+(?:-[a-zA-Z0-9]+(?:\.[a-zA-Z0-9]+)*)?$
bool IsValidVersion(const std::string& version);

// ^[a-fA-F0-9]{64}$
bool IsValidSha256Hex(const std::string& hash);

// ASCII letters lower-cased; every other byte kept.
std::string AsciiLower(std::string text);

}  // namespace zuvelo
