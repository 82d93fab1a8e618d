#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <json/value.h>

#include "common/error_codes.h"
#include "manifest/crypto_verifier.h"
#include "manifest/update_manifest.h"

namespace zuvelo {

// Brings an installation folder up to the state an update manifest describes.
// Created for one application and destroyed after it; all its log lines carry
// the component "ManifestHandler".
class ManifestHandler {
public:
    // cacheDir: the download cache; the signature check writes its temporary
    // files there. trustedPublicKeys: as for CryptoVerifier; the programs pass
    // BuildManifestPublicKeys().
    ManifestHandler(std::filesystem::path cacheDir, const std::vector<std::string>& trustedPublicKeys);

    // Text to record, either dialect: 0, 121 (text or JSON unusable) or 123 (a
    // rule broken). JsonCpp conversion errors (a member of the wrong type) leave
    // as exceptions, which the command or plan handler turns into 4.
    static ErrorCode ParseManifestJson(const std::string& text, UpdateManifest& manifest);
    static ErrorCode ParseFileEntry(const Json::Value& file, ManifestFileEntry& entry);
    // Path, hash (lower-cased) and URL from their alternative keys; string values only.
    static void ExtractFileFields(const Json::Value& file, ManifestFileEntry& entry);
    // An asset-dialect entry rewritten as a legacy file object.
    static Json::Value AssetToFileObject(const Json::Value& asset);

    // Structure, types and limits of the document: 0 or 123.
    static ErrorCode ValidateManifestSchema(const Json::Value& document);
    // Content of the record, then its signature: 0, 122 or 123.
    ErrorCode ValidateManifest(const UpdateManifest& manifest);
    static ErrorCode ValidateFileEntry(const ManifestFileEntry& entry);

    // 0 or 122; asset-dialect manifests are not signed.
    ErrorCode VerifyManifestSignature(const UpdateManifest& manifest);
    // Writes data and signature to temporary files in the cache and has the
    // verifier check them: 0, 140 (a file cannot be written) or the verifier's result.
    ErrorCode VerifyManifestCmsSignature(const std::string& data, const std::string& signature);

    const std::filesystem::path& CacheDir() const { return cacheDir_; }

private:
    std::filesystem::path cacheDir_;
    CryptoVerifier cryptoVerifier_;
};

}  // namespace zuvelo
