#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <json/value.h>

namespace zuvelo {

// What a manifest describes; decides whether a game version is required.
enum class ComponentKind : int32_t { Client = 0, Launcher = 1, Unknown = 2 };

// One file of a build. Times are seconds since 1970 x 10,000,000.
struct ManifestFileEntry {
    std::string relativePath;  // UTF-8, "/"-separated, relative to the target folder
    std::string sha256;        // 64 hex digits, lower-cased when parsed: compared and names cache entries
    std::string sha256AsWritten;  // as the manifest spells it: file URLs and the signed text
    uint64_t size = 0;
    bool isExecutable = false;
    bool isRequired = true;   // optional files are never downloaded
    std::string downloadUrl;  // absolute URL overriding the base URL
    int32_t compressionLevel = 0;
    std::string permissions = "644";
    int64_t lastModified = 0;

    // The hash as the manifest spelled it (the lower-case one for an entry not parsed from text).
    const std::string& WrittenSha256() const { return sha256AsWritten.empty() ? sha256 : sha256AsWritten; }
};

// One build of the launcher or the client, read from either dialect.
struct UpdateManifest {
    std::string schemaVersion;
    std::string manifestId;
    std::string version;
    std::string component = "client";
    std::string gameVersion;
    int64_t createdAt = 0;
    std::string createdBy;
    std::string description;
    std::string channel;
    uint64_t totalSize = 0;
    int32_t fileCount = 0;
    std::string baseUrl;
    std::vector<ManifestFileEntry> files;
    std::string signature;
    std::string signerCertificate;
    Json::Value signatureBlock;
    bool isIncremental = false;
    std::string previousVersion;
    bool assetDialect = false;
    bool schemaOverride = false;  // asset dialect: no signature requirement
    ComponentKind componentKind = ComponentKind::Unknown;
    bool componentExplicit = false;
};

}  // namespace zuvelo
