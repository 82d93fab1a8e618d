#pragma once

#include <cstdint>
#include <string>

#include <json/value.h>
#include <json/writer.h>

// Valid manifests of either dialect for tests to change one rule at a time.
namespace zuvelo::test {

inline std::string Hash(char digit = 'a') { return std::string(64, digit); }

inline Json::Value LegacyFile(const std::string& path, uint64_t size = 100, const std::string& hash = Hash()) {
    Json::Value file(Json::objectValue);
    file["path"] = path;
    file["size"] = Json::UInt64(size);
    file["sha256"] = hash;
    return file;
}

// A client manifest with two files.
inline Json::Value LegacyDocument() {
    Json::Value document(Json::objectValue);
    document["version"] = "1.2.3";
    document["gameVersion"] = "5.0.1";
    document["channel"] = "beta";
    document["baseUrl"] = "https://cdn.example/builds/";
    document["signature"] = "c2lnbmF0dXJl";
    document["files"].append(LegacyFile("bin/app.exe", 1000, Hash('b')));
    document["files"].append(LegacyFile("data/pack.dat", 2000, Hash('c')));
    return document;
}

inline Json::Value Asset(const std::string& path, uint64_t size = 100, const std::string& hash = Hash()) {
    Json::Value asset(Json::objectValue);
    asset["path"] = path;
    asset["size"] = Json::UInt64(size);
    asset["hash"] = hash;
    asset["fullReference"]["url"] = "https://cdn.example/full/" + path;
    return asset;
}

inline Json::Value AssetDocument() {
    Json::Value document(Json::objectValue);
    document["schemaVersion"] = "2.0";
    document["manifestId"] = "m-1";
    document["createdUtc"] = "2024-01-02T03:04:05Z";
    document["buildMetadata"]["version"] = "2.0.0";
    document["buildMetadata"]["channel"] = "live";
    document["assets"].append(Asset("game/main.pak", 300, Hash('d')));
    document["signatureBlock"]["signature"] = "";
    return document;
}

inline std::string ToText(const Json::Value& document) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, document);
}

}  // namespace zuvelo::test
