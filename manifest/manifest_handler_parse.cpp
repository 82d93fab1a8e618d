#include <cstdint>
#include <ctime>
#include <initializer_list>
#include <iomanip>
#include <limits>
#include <sstream>
#include <string_view>

#include "common/json_document.h"
#include "common/text.h"
#include "manifest/component_inference.h"
#include "manifest/json_access.h"
#include "manifest/manifest_handler.h"
#include "manifest/manifest_log.h"
#include "manifest/manifest_rules.h"

namespace zuvelo {

namespace {

constexpr int64_t kTicksPerSecond = 10000000;
constexpr uint64_t kBytesPerMegabyte = 1048576;

ErrorCode Refuse(ErrorCode code, const std::string& message) {
    kManifestLog.Error(message);
    return code;
}

// "%Y-%m-%dT%H:%M:%S" (anything after it ignored) read as local time; false leaves ticks as they are.
bool ReadLocalTime(const std::string& text, int64_t& ticks) {
    std::tm fields{};
    std::istringstream in(text);
    in >> std::get_time(&fields, "%Y-%m-%dT%H:%M:%S");
    if (in.fail()) return false;
    fields.tm_isdst = -1;
    const std::time_t seconds = std::mktime(&fields);
    if (seconds == static_cast<std::time_t>(-1)) return false;
    if (seconds > std::numeric_limits<int64_t>::max() / kTicksPerSecond ||
        seconds < std::numeric_limits<int64_t>::min() / kTicksPerSecond) {
        return false;
    }
    ticks = static_cast<int64_t>(seconds) * kTicksPerSecond;
    return true;
}

// The member as text when present, whatever its type (asString throws for arrays and objects).
void ReadTextIfPresent(const Json::Value& document, std::string_view key, std::string& out) {
    if (const Json::Value* value = FindMember(document, key)) out = value->asString();
}

std::string TextOr(const Json::Value& object, std::string_view key, const std::string& fallback) {
    const Json::Value* value = FindMember(object, key);
    return value ? value->asString() : fallback;
}

// The first of the keys whose value is a string.
const Json::Value* FirstStringMember(const Json::Value& file, std::initializer_list<std::string_view> keys) {
    for (std::string_view key : keys) {
        if (HasStringMember(file, key)) return FindMember(file, key);
    }
    return nullptr;
}

bool ParseDocument(const std::string& text, Json::Value& document, std::string& errors) {
    // The reader throws instead of failing for nesting beyond its stack limit.
    try {
        return ParseJsonDocument(text, document, errors);
    } catch (const Json::Exception& error) {
        errors = error.what();
        return false;
    }
}

void ReadDialectFields(const Json::Value& document, UpdateManifest& manifest) {
    manifest.assetDialect = IsAssetDialectDocument(document);
    manifest.schemaVersion = manifest.assetDialect ? TextOr(document, "schemaVersion", "") : "";
    manifest.manifestId = TextOr(document, "manifestId", "");
    manifest.signatureBlock = Json::Value(Json::objectValue);
    manifest.schemaOverride = false;
}

void ReadLegacyHeader(const Json::Value& document, UpdateManifest& manifest) {
    manifest.version = TextOr(document, "version", "");
    const Json::Value* component = FindMember(document, "component");
    manifest.component = component ? component->asString() : "";
    manifest.componentExplicit = component != nullptr;
    ReadTextIfPresent(document, "gameVersion", manifest.gameVersion);
    ReadTextIfPresent(document, "description", manifest.description);
    manifest.channel = TextOr(document, "channel", "stable");
    ReadTextIfPresent(document, "baseUrl", manifest.baseUrl);
    if (const Json::Value* value = FindMember(document, "totalSize")) manifest.totalSize = value->asUInt64();
    if (const Json::Value* value = FindMember(document, "fileCount")) manifest.fileCount = value->asInt();
    if (const Json::Value* value = FindMember(document, "isIncremental")) manifest.isIncremental = value->asBool();
    ReadTextIfPresent(document, "previousVersion", manifest.previousVersion);
    if (const Json::Value* value = FindMember(document, "createdAt")) {
        ReadLocalTime(value->asString(), manifest.createdAt);
    }
    ReadTextIfPresent(document, "createdBy", manifest.createdBy);
    ReadTextIfPresent(document, "signature", manifest.signature);
    ReadTextIfPresent(document, "signerCertificate", manifest.signerCertificate);
}

ErrorCode AppendEntry(const Json::Value& file, UpdateManifest& manifest) {
    ManifestFileEntry entry;
    if (ErrorCode result = ManifestHandler::ParseFileEntry(file, entry); !Succeeded(result)) return result;
    manifest.files.push_back(std::move(entry));
    return ErrorCode::Success;
}

ErrorCode ParseLegacyManifest(const Json::Value& document, UpdateManifest& manifest) {
    ReadLegacyHeader(document, manifest);
    const Json::Value* files = FindMember(document, "files");
    if (!files || !files->isArray()) return ErrorCode::Success;
    manifest.files.reserve(files->size());
    for (const Json::Value& file : *files) {
        if (ErrorCode result = AppendEntry(file, manifest); !Succeeded(result)) return result;
    }
    return ErrorCode::Success;
}

void ReadAssetHeader(const Json::Value& document, UpdateManifest& manifest) {
    manifest.component = TextOr(document, "component", "client");
    manifest.componentExplicit = FindMember(document, "component") != nullptr;
    const Json::Value& build = document["buildMetadata"];
    manifest.version = TextOr(build, "version", "");
    manifest.gameVersion = manifest.version;
    manifest.channel = TextOr(build, "channel", "stable");
    manifest.description = TextOr(document, "description", "");
    manifest.baseUrl = TextOr(document, "baseUrl", "");
    if (HasStringMember(document, "createdUtc")) {
        std::string created = document["createdUtc"].asString();
        if (created.ends_with('Z')) created.pop_back();
        ReadLocalTime(created, manifest.createdAt);
    }
    if (HasStringMember(document, "createdBy")) manifest.createdBy = document["createdBy"].asString();
}

ErrorCode ParseAssetManifest(const Json::Value& document, UpdateManifest& manifest) {
    ReadAssetHeader(document, manifest);
    const Json::Value& assets = document["assets"];
    manifest.files.clear();
    manifest.files.reserve(assets.size());
    for (const Json::Value& asset : assets) {
        if (ErrorCode result = AppendEntry(ManifestHandler::AssetToFileObject(asset), manifest); !Succeeded(result)) {
            return result;
        }
    }
    manifest.signatureBlock = document["signatureBlock"];
    manifest.signature = TextOr(manifest.signatureBlock, "signature", "");
    manifest.schemaOverride = true;
    return ErrorCode::Success;
}

std::string InferenceReason(const UpdateManifest& manifest) {
    if (!manifest.gameVersion.empty()) return "gameVersion present";
    const ComponentPatternCounts counts = CountComponentPatterns(manifest);
    if (counts.launcher == 0 && counts.resources == 0) return "backwards compatibility default";
    return std::to_string(counts.launcher) + " launcher patterns, " + std::to_string(counts.resources) +
           " resources patterns, " + std::to_string(counts.client) + " client patterns";
}

void LogComponent(const UpdateManifest& manifest) {
    const std::string word = ComponentKindWord(manifest.componentKind);
    if (manifest.componentExplicit) {
        kManifestLog.Info("Component explicitly set: " + word);
    } else {
        kManifestLog.Info("Component inferred as " + word + " (" + InferenceReason(manifest) + ")");
    }
}

ErrorCode CheckGameVersionRule(const UpdateManifest& manifest) {
    if (!manifest.gameVersion.empty()) return ErrorCode::Success;
    if (manifest.componentKind == ComponentKind::Client) {
        return Refuse(ErrorCode::ManifestSchemaInvalid, "gameVersion is required for client manifests");
    }
    if (manifest.componentKind == ComponentKind::Launcher) {
        kManifestLog.Debug("gameVersion not specified (acceptable for launcher manifests)");
    }
    return ErrorCode::Success;
}

// Stated totals are kept only when both are given.
void CompleteTotals(UpdateManifest& manifest) {
    if (manifest.totalSize != 0 && manifest.fileCount != 0) return;
    manifest.totalSize = 0;
    for (const ManifestFileEntry& entry : manifest.files) manifest.totalSize += entry.size;
    manifest.fileCount = static_cast<int32_t>(manifest.files.size());
}

}  // namespace

ErrorCode ManifestHandler::ParseManifestJson(const std::string& text, UpdateManifest& manifest) {
    kManifestLog.Debug("Parsing manifest JSON");
    if (text.find('\0') != std::string::npos) {
        return Refuse(ErrorCode::ManifestParseFailed, "Manifest JSON contains an embedded NUL");
    }
    Json::Value document;
    std::string errors;
    if (!ParseDocument(text, document, errors)) {
        return Refuse(ErrorCode::ManifestParseFailed, "Failed to parse manifest JSON: " + errors);
    }
    if (JsonHasEmbeddedNul(document)) {
        return Refuse(ErrorCode::ManifestParseFailed, "Manifest JSON contains an escaped embedded NUL");
    }
    if (ErrorCode result = ValidateManifestSchema(document); !Succeeded(result)) return result;

    ReadDialectFields(document, manifest);
    const ErrorCode result = manifest.assetDialect ? ParseAssetManifest(document, manifest)
                                                   : ParseLegacyManifest(document, manifest);
    if (!Succeeded(result)) return result;

    manifest.componentKind = DetermineComponent(manifest);
    LogComponent(manifest);
    if (ErrorCode rule = CheckGameVersionRule(manifest); !Succeeded(rule)) return rule;
    CompleteTotals(manifest);
    kManifestLog.Info("Manifest parsed successfully: " + std::to_string(manifest.files.size()) + " files, " +
                      std::to_string(manifest.totalSize / kBytesPerMegabyte) +
                      " MB total, component=" + ComponentKindWord(manifest.componentKind));
    return ErrorCode::Success;
}

void ManifestHandler::ExtractFileFields(const Json::Value& file, ManifestFileEntry& entry) {
    if (const Json::Value* path = FirstStringMember(file, {"path", "relativePath"})) {
        entry.relativePath = path->asString();
    }
    // Lower case, so that every later comparison and cache name sees one spelling;
    // URLs and the signed text keep the publisher's spelling.
    if (const Json::Value* hash = FirstStringMember(file, {"sha256", "sha256Hash", "hash"})) {
        entry.sha256AsWritten = hash->asString();
        entry.sha256 = AsciiLower(entry.sha256AsWritten);
    }
    if (const Json::Value* url = FirstStringMember(file, {"downloadUrl", "url"})) {
        entry.downloadUrl = url->asString();
    }
}

ErrorCode ManifestHandler::ParseFileEntry(const Json::Value& file, ManifestFileEntry& entry) {
    ExtractFileFields(file, entry);
    if (entry.relativePath.empty()) {
        return Refuse(ErrorCode::ManifestSchemaInvalid, "Required field missing: files.path (or relativePath)");
    }
    if (entry.sha256.empty()) {
        return Refuse(ErrorCode::ManifestSchemaInvalid, "Required field missing: files.sha256 (or sha256Hash)");
    }
    const Json::Value* size = FindMember(file, "size");
    if (!size) return Refuse(ErrorCode::ManifestSchemaInvalid, "Required field missing: files.size");
    entry.size = size->asUInt64();
    entry.isExecutable = file.get("isExecutable", false).asBool();
    entry.isRequired = file.get("isRequired", true).asBool();
    if (entry.downloadUrl.empty()) ReadTextIfPresent(file, "downloadUrl", entry.downloadUrl);
    entry.compressionLevel = file.get("compressionLevel", 0).asInt();
    entry.permissions = TextOr(file, "permissions", "644");
    if (const Json::Value* modified = FindMember(file, "lastModified")) {
        ReadLocalTime(modified->asString(), entry.lastModified);
    }
    return ErrorCode::Success;
}

Json::Value ManifestHandler::AssetToFileObject(const Json::Value& asset) {
    Json::Value file(Json::objectValue);
    // Absent members stay absent, so ParseFileEntry names what is missing.
    for (auto [from, to] : {std::pair{"path", "path"}, {"size", "size"}, {"hash", "sha256"}}) {
        if (const Json::Value* value = FindMember(asset, from)) file[to] = *value;
    }
    if (const Json::Value* reference = FindMember(asset, "fullReference"); reference && reference->isObject()) {
        file["downloadUrl"] = TextOr(*reference, "url", "");
    }
    if (const Json::Value* modified = FindMember(asset, "lastModified")) file["lastModified"] = *modified;
    return file;
}

}  // namespace zuvelo
