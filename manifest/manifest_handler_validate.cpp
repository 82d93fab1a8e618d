#include <string_view>

#include "common/paths.h"
#include "manifest/component_inference.h"
#include "manifest/json_access.h"
#include "manifest/manifest_handler.h"
#include "manifest/manifest_log.h"
#include "manifest/manifest_rules.h"

namespace zuvelo {

namespace {

ErrorCode Refuse(ErrorCode code, const std::string& message) {
    kManifestLog.Error(message);
    return code;
}

ErrorCode SchemaError(const std::string& message) { return Refuse(ErrorCode::ManifestSchemaInvalid, message); }

ErrorCode MissingField(const std::string& key) { return SchemaError("Required field missing: " + key); }

bool IsNumber(const Json::Value& value) {
    return value.type() == Json::intValue || value.type() == Json::uintValue || value.type() == Json::realValue;
}

ErrorCode ValidateAssetTypes(const Json::Value& asset) {
    for (std::string_view key : {"path", "size", "hash"}) {
        if (!FindMember(asset, key)) return MissingField("assets." + std::string(key));
    }
    if (!asset["path"].isString()) return SchemaError("Asset path must be a string");
    if (!asset["hash"].isString()) return SchemaError("Asset hash must be a string");
    if (!IsNumber(asset["size"])) return SchemaError("Asset size must be numeric");
    return ErrorCode::Success;
}

ErrorCode ValidateAsset(const Json::Value& asset) {
    if (!asset.isObject()) return SchemaError("Asset entry must be an object");
    if (ErrorCode result = ValidateAssetTypes(asset); !Succeeded(result)) return result;
    const std::string path = asset["path"].asString();
    const std::string hash = asset["hash"].asString();
    if (path.size() > kMaxManifestPathBytes) return SchemaError("Asset path too long: " + path);
    if (!IsValidSha256Hex(hash)) return SchemaError("Invalid asset hash format: " + hash);
    if (asset["size"].asUInt64() > kMaxManifestFileSize) return SchemaError("Asset too large: " + path);
    const Json::Value* reference = FindMember(asset, "fullReference");
    if (!reference || !reference->isObject()) return MissingField("assets.fullReference");
    if (!HasStringMember(*reference, "url")) return MissingField("assets.fullReference.url");
    return ErrorCode::Success;
}

ErrorCode ValidateAssetList(const Json::Value& assets) {
    if (!assets.isArray() || assets.empty()) return SchemaError("Manifest assets array is missing or empty");
    if (assets.size() > kMaxManifestFiles) return SchemaError("Manifest exceeds maximum file count");
    for (const Json::Value& asset : assets) {
        if (ErrorCode result = ValidateAsset(asset); !Succeeded(result)) return result;
    }
    return ErrorCode::Success;
}

ErrorCode ValidateAssetSchema(const Json::Value& document) {
    constexpr std::string_view kRequired[] = {"schemaVersion", "manifestId",  "createdUtc",
                                              "buildMetadata", "assets",      "signatureBlock"};
    for (std::string_view key : kRequired) {
        if (!FindMember(document, key)) return MissingField(std::string(key));
    }
    const Json::Value& build = document["buildMetadata"];
    if (!build.isObject()) return SchemaError("buildMetadata must be an object");
    if (!HasStringMember(build, "version")) return MissingField("buildMetadata.version");
    if (ErrorCode result = ValidateAssetList(document["assets"]); !Succeeded(result)) return result;
    const Json::Value& block = document["signatureBlock"];
    if (!block.isObject()) return SchemaError("signatureBlock must be an object");
    if (!HasStringMember(block, "signature")) return MissingField("signatureBlock.signature");
    return ErrorCode::Success;
}

// An explicit "launcher", or a file list mostly under launcher folders.
bool IsLauncherForSchema(const Json::Value& document) {
    const std::string component = HasStringMember(document, "component") ? document["component"].asString() : "client";
    if (AsciiLower(component) == "launcher") return true;
    if (!LooksLikeLauncherManifest(document)) return false;
    kManifestLog.Debug("Manifest heuristic identified component as launcher");
    return true;
}

// A file that is not an object makes JsonCpp throw here, as for every type
// error inside an entry.
ErrorCode ValidateLegacyFile(const Json::Value& file) {
    if (!file.isMember("size")) return MissingField("files.size");
    const char* pathKey = file["path"].isString() ? "path" : "relativePath";
    if (!file[pathKey].isString()) return MissingField("files.path (or relativePath)");
    const std::string path = file[pathKey].asString();
    if (path.size() > kMaxManifestPathBytes) return SchemaError("Path too long: " + path);
    const char* hashKey = file["sha256"].isString() ? "sha256" : "sha256Hash";
    if (!file[hashKey].isString()) return MissingField("files.sha256 (or sha256Hash)");
    if (!IsValidSha256Hex(file[hashKey].asString())) return SchemaError("Invalid SHA-256 hash format");
    if (file["size"].asUInt64() > kMaxManifestFileSize) return SchemaError("File exceeds maximum size limit");
    return ErrorCode::Success;
}

ErrorCode ValidateLegacyFiles(const Json::Value& files) {
    if (!files.isArray()) return ErrorCode::Success;
    if (files.size() > kMaxManifestFiles) return SchemaError("Manifest exceeds maximum file count");
    for (const Json::Value& file : files) {
        if (ErrorCode result = ValidateLegacyFile(file); !Succeeded(result)) return result;
    }
    return ErrorCode::Success;
}

ErrorCode ValidateLegacySchema(const Json::Value& document) {
    const bool launcher = IsLauncherForSchema(document);
    for (std::string_view key : {"version", "files"}) {
        if (!FindMember(document, key)) return MissingField(std::string(key));
    }
    if (!FindMember(document, "gameVersion")) {
        if (!launcher) return MissingField("gameVersion");
        kManifestLog.Debug("gameVersion omitted for optional component");
    }
    if (!FindMember(document, "signature")) return MissingField("signature");
    if (!IsValidVersion(document["version"].asString())) return SchemaError("Invalid version format");
    if (ErrorCode result = ValidateLegacyFiles(document["files"]); !Succeeded(result)) return result;
    kManifestLog.Debug("Manifest schema validation passed");
    return ErrorCode::Success;
}

// Records that did not come from the parser have no kind yet.
ComponentKind KindOf(const UpdateManifest& manifest) {
    return manifest.componentKind == ComponentKind::Unknown ? DetermineComponent(manifest) : manifest.componentKind;
}

ErrorCode ValidateManifestContent(const UpdateManifest& manifest) {
    if (manifest.version.empty()) return SchemaError("Manifest missing version");
    // The inferred kind decides: a launcher manifest known only by its paths needs no game version.
    if (KindOf(manifest) != ComponentKind::Launcher && manifest.gameVersion.empty()) {
        return SchemaError("Manifest missing game version");
    }
    if (manifest.files.empty()) return SchemaError("Manifest contains no files");
    if (manifest.signature.empty()) {
        if (!manifest.schemaOverride) return Refuse(ErrorCode::ManifestSignatureInvalid, "Manifest missing signature");
        kManifestLog.Debug("Skipping signature requirement due to schema override");
    }
    if (!IsValidVersion(manifest.version)) return SchemaError("Invalid version format: " + manifest.version);
    for (const ManifestFileEntry& entry : manifest.files) {
        if (ErrorCode result = ManifestHandler::ValidateFileEntry(entry); !Succeeded(result)) return result;
    }
    return ErrorCode::Success;
}

}  // namespace

ErrorCode ManifestHandler::ValidateManifestSchema(const Json::Value& document) {
    kManifestLog.Debug("Validating manifest schema");
    // A root that is not an object has none of the required members.
    static const Json::Value kEmptyObject(Json::objectValue);
    const Json::Value& root = document.isObject() ? document : kEmptyObject;
    return IsAssetDialectDocument(root) ? ValidateAssetSchema(root) : ValidateLegacySchema(root);
}

ErrorCode ManifestHandler::ValidateManifest(const UpdateManifest& manifest) {
    kManifestLog.Debug("Validating manifest");
    if (ErrorCode result = ValidateManifestContent(manifest); !Succeeded(result)) return result;
    if (manifest.schemaOverride) {
        kManifestLog.Debug("Skipping signature verification for schema override");
        // A build that checks signatures says so when it applies an update it cannot check.
        if (cryptoVerifier_.HasTrustedKeys()) {
            kManifestLog.Warning("Manifest signature not verified: asset manifests carry no signature");
        }
    } else if (ErrorCode result = VerifyManifestSignature(manifest); !Succeeded(result)) {
        return result;
    }
    kManifestLog.Info("Manifest validation successful");
    return ErrorCode::Success;
}

ErrorCode ManifestHandler::ValidateFileEntry(const ManifestFileEntry& entry) {
    if (!IsSafeRelativePathUtf8(entry.relativePath)) return SchemaError("Invalid or unsafe file path");
    if (!IsValidSha256Hex(entry.sha256)) return SchemaError("Invalid hash format for file: " + entry.relativePath);
    if (entry.size > kMaxManifestFileSize) return SchemaError("File too large: " + entry.relativePath);
    return ErrorCode::Success;
}

}  // namespace zuvelo
