#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <json/value.h>

#include "tests/support/manifest_signing.h"

// Releases as a content server holds them: each file under
// files/<first 8 hash digits>/<relative path>, and a manifest that lists them.
namespace zuvelo::test {

// One file of a release before it is published.
struct ReleaseFile {
    std::string path{};  // relative, '/' separated
    std::string content{};
    bool required = true;
    std::string permissions{};  // empty: the key is left out
    bool executable = false;
};

// One manifest entry.
struct ReleaseEntry {
    std::string path{};
    std::string sha256{};  // lower-case hex
    uint64_t size = 0;
    bool required = true;
    std::string permissions{};
    bool executable = false;
    std::string downloadUrl{};  // empty: the URL rule of the base URL applies
};

std::string Sha256Hex(std::string_view bytes);

// "files/<h8>/<path>", the server-relative location of an entry.
std::string ServedPath(const ReleaseEntry& entry);

ReleaseEntry EntryOf(const ReleaseFile& file);
// Writes the file at serverRoot / ServedPath and returns its entry.
ReleaseEntry PublishFile(const std::filesystem::path& serverRoot, const ReleaseFile& file);
std::vector<ReleaseEntry> PublishFiles(const std::filesystem::path& serverRoot, const std::vector<ReleaseFile>& files);
// A file of `size` pseudo-random bytes (from `seed`), written and hashed in blocks.
ReleaseEntry PublishGeneratedFile(const std::filesystem::path& serverRoot, const std::string& path, uint64_t size,
                                  uint64_t seed);

struct LegacyFields {
    std::string version = "1.0.0";
    std::string gameVersion = "1.0.0";
    std::string channel = "stable";
    std::string baseUrl{};  // empty: the program's CDN URL is the base
};

// The signed text of a legacy manifest: compact JSON, sorted members, the
// defaults of the entry fields left out.
std::string CanonicalLegacyText(const std::vector<ReleaseEntry>& entries, const LegacyFields& fields);
Json::Value SignedLegacyManifest(const std::vector<ReleaseEntry>& entries, const SigningKey& key,
                                 const LegacyFields& fields = {});
// Asset dialect; every entry needs its downloadUrl.
Json::Value AssetManifest(const std::vector<ReleaseEntry>& entries, const std::string& version = "2.0.0");

void WriteJsonFile(const std::filesystem::path& path, const Json::Value& value);

}  // namespace zuvelo::test
