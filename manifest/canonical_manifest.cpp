#include "manifest/canonical_manifest.h"

#include <json/writer.h>

namespace zuvelo {

namespace {

// Members that hold their default value are left out, so older signers that
// never wrote them produce the same text.
Json::Value CanonicalFile(const ManifestFileEntry& entry) {
    Json::Value file(Json::objectValue);
    file["relativePath"] = entry.relativePath;
    file["sha256Hash"] = entry.WrittenSha256();
    file["size"] = Json::UInt64(entry.size);
    if (entry.isExecutable) file["isExecutable"] = true;
    if (!entry.isRequired) file["isRequired"] = false;
    if (!entry.downloadUrl.empty()) file["downloadUrl"] = entry.downloadUrl;
    if (entry.compressionLevel > 0) file["compressionLevel"] = entry.compressionLevel;
    if (!entry.permissions.empty()) file["permissions"] = entry.permissions;
    return file;
}

}  // namespace

Json::Value CanonicalManifestDocument(const UpdateManifest& manifest) {
    Json::Value document(Json::objectValue);
    document["version"] = manifest.version;
    document["gameVersion"] = manifest.gameVersion;
    document["channel"] = manifest.channel;
    document["baseUrl"] = manifest.baseUrl;
    document["totalSize"] = Json::UInt64(manifest.totalSize);
    document["fileCount"] = manifest.fileCount;
    Json::Value& files = document["files"] = Json::Value(Json::arrayValue);
    for (const ManifestFileEntry& entry : manifest.files) files.append(CanonicalFile(entry));
    return document;
}

std::string CanonicalManifestText(const UpdateManifest& manifest) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, CanonicalManifestDocument(manifest));
}

}  // namespace zuvelo
