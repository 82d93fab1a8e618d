#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/json_document.h"
#include "manifest/manifest_handler.h"
#include "tests/manifest/manifest_documents.h"
#include "tests/support/log_capture.h"

namespace zuvelo {
namespace {

using test::Asset;
using test::AssetDocument;
using test::Hash;
using test::LegacyDocument;
using test::LegacyFile;
using test::ToText;

constexpr int64_t kTicksPerSecond = 10000000;

struct Parsed {
    ErrorCode code;
    UpdateManifest manifest;
};

Parsed Parse(const std::string& text) {
    Parsed parsed;
    parsed.code = ManifestHandler::ParseManifestJson(text, parsed.manifest);
    return parsed;
}

Parsed Parse(const Json::Value& document) { return Parse(ToText(document)); }

std::vector<std::string> MessagesAt(const test::LogCapture& log, const std::string& level) {
    std::vector<std::string> messages;
    for (const Json::Value& event : log.EventsWhere("level", level)) messages.push_back(event["message"].asString());
    return messages;
}

std::tm LocalFields(int64_t ticks) {
    const std::time_t seconds = static_cast<std::time_t>(ticks / kTicksPerSecond);
    std::tm fields{};
    localtime_r(&seconds, &fields);
    return fields;
}

TEST(ManifestParse, DialectChoice) {
    Json::Value bothLists = AssetDocument();
    bothLists["files"].append(LegacyFile("bin/legacy.exe"));
    Json::Value numericSchemaVersion = LegacyDocument();
    numericSchemaVersion["schemaVersion"] = 2;
    Json::Value assetsObject = LegacyDocument();
    assetsObject["assets"] = Json::Value(Json::objectValue);

    struct Row {
        const char* name;
        Json::Value document;
        bool asset;
        std::string firstPath;
    };
    const std::vector<Row> rows = {
        {"assets array", AssetDocument(), true, "game/main.pak"},
        {"schemaVersion text with files", bothLists, true, "game/main.pak"},
        {"legacy", LegacyDocument(), false, "bin/app.exe"},
        {"schemaVersion a number", numericSchemaVersion, false, "bin/app.exe"},
        {"assets an object", assetsObject, false, "bin/app.exe"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        test::LogCapture log;
        const Parsed parsed = Parse(row.document);
        ASSERT_EQ(parsed.code, ErrorCode::Success);
        EXPECT_EQ(parsed.manifest.assetDialect, row.asset);
        EXPECT_EQ(parsed.manifest.schemaOverride, row.asset);
        EXPECT_EQ(parsed.manifest.files.size(), 1u + (row.asset ? 0 : 1));
        EXPECT_EQ(parsed.manifest.files.front().relativePath, row.firstPath);
        EXPECT_EQ(parsed.manifest.schemaVersion, row.asset ? "2.0" : "");
    }
}

TEST(ManifestParse, AlternativeKeysAndPrecedence) {
    const std::string upper = std::string(64, 'E');
    struct Row {
        const char* file;  // JSON of one file object
        std::string path, sha256, url;
    };
    const std::vector<Row> rows = {
        {R"({"path":"a","relativePath":"b","sha256":"x","sha256Hash":"y","hash":"z"})", "a", "x", ""},
        {R"({"path":5,"relativePath":"b","sha256":5,"sha256Hash":"y"})", "b", "y", ""},
        {R"({"relativePath":"b","hash":"Zz"})", "b", "zz", ""},
        {R"({"downloadUrl":"u1","url":"u2"})", "", "", "u1"},
        {R"({"downloadUrl":7,"url":"u2"})", "", "", "u2"},
        {R"({"sha256Hash":"ABCdef"})", "", "abcdef", ""},
        {R"({"path":null,"sha256":[],"url":{}})", "", "", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.file);
        ManifestFileEntry entry;
        ManifestHandler::ExtractFileFields(test::ParseJson(row.file), entry);
        EXPECT_EQ(entry.relativePath, row.path);
        EXPECT_EQ(entry.sha256, row.sha256);
        EXPECT_EQ(entry.downloadUrl, row.url);
    }

    // Keys that do not apply leave what the entry held.
    ManifestFileEntry kept;
    kept.relativePath = "keep";
    kept.sha256 = "keep";
    ManifestHandler::ExtractFileFields(test::ParseJson(R"({"path":1})"), kept);
    EXPECT_EQ(kept.relativePath, "keep");
    EXPECT_EQ(kept.sha256, "keep");
}

TEST(ManifestParse, FileEntryDefaultsAndFields) {
    test::LogCapture log;
    ManifestFileEntry plain;
    ASSERT_EQ(ManifestHandler::ParseFileEntry(test::ParseJson(R"({"path":"a","sha256":"B","size":3})"), plain),
              ErrorCode::Success);
    EXPECT_EQ(plain.size, 3u);
    EXPECT_FALSE(plain.isExecutable);
    EXPECT_TRUE(plain.isRequired);
    EXPECT_EQ(plain.permissions, "644");
    EXPECT_EQ(plain.compressionLevel, 0);
    EXPECT_EQ(plain.lastModified, 0);

    ManifestFileEntry full;
    ASSERT_EQ(ManifestHandler::ParseFileEntry(
                  test::ParseJson(R"({"path":"a","sha256":"b","size":3,"isExecutable":true,"isRequired":false,
                                      "downloadUrl":12,"compressionLevel":9,"permissions":"755",
                                      "lastModified":"2023-06-07T08:09:10"})"),
                  full),
              ErrorCode::Success);
    EXPECT_TRUE(full.isExecutable);
    EXPECT_FALSE(full.isRequired);
    EXPECT_EQ(full.downloadUrl, "12");  // a non-string "downloadUrl" is still read as text
    EXPECT_EQ(full.compressionLevel, 9);
    EXPECT_EQ(full.permissions, "755");
    const std::tm modified = LocalFields(full.lastModified);
    EXPECT_EQ(modified.tm_year, 123);
    EXPECT_EQ(modified.tm_hour, 8);
    EXPECT_EQ(modified.tm_sec, 10);
}

TEST(ManifestParse, UnusableTextIs121) {
    std::string deep(2000, '[');
    deep += std::string(2000, ']');
    std::string tooMany = "[";
    for (size_t i = 0; i < kMaxJsonValues; ++i) tooMany += "0,";
    tooMany += "0]";
    struct Row {
        const char* name;
        std::string text;
        std::string error;  // exact, or the prefix when it ends in ": "
    };
    const std::vector<Row> rows = {
        {"raw NUL", ToText(LegacyDocument()) + std::string(1, '\0'), "Manifest JSON contains an embedded NUL"},
        {"escaped NUL in a value", R"({"version":"1.2.3\u0000"})", "Manifest JSON contains an escaped embedded NUL"},
        {"escaped NUL in a key", R"({"a\u0000":1})", "Manifest JSON contains an escaped embedded NUL"},
        {"syntax error", R"({"version":)", "Failed to parse manifest JSON: "},
        {"nesting beyond the reader's limit", deep, "Failed to parse manifest JSON: "},
        {"more values than a manifest can hold", tooMany,
         "Failed to parse manifest JSON: Document holds more than 1000000 values"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        test::LogCapture log;
        EXPECT_EQ(Parse(row.text).code, ErrorCode::ManifestParseFailed);
        const std::vector<std::string> errors = MessagesAt(log, "ERROR");
        ASSERT_EQ(errors.size(), 1u);
        if (row.error.ends_with(": ")) {
            EXPECT_TRUE(errors.front().starts_with(row.error)) << errors.front();
            EXPECT_GT(errors.front().size(), row.error.size());
        } else {
            EXPECT_EQ(errors.front(), row.error);
        }
    }
}

TEST(ManifestParse, RootThatIsNotAnObjectIsRefused) {
    for (const char* text : {"[1,2]", "\"text\"", "5", "null"}) {
        SCOPED_TRACE(text);
        test::LogCapture log;
        EXPECT_EQ(Parse(std::string(text)).code, ErrorCode::ManifestSchemaInvalid);
        EXPECT_TRUE(log.HasMessage("Required field missing: version"));
    }
}

TEST(ManifestParse, TotalsRule) {
    struct Row {
        Json::Value totalSize, fileCount;
        uint64_t expectedSize;
        int32_t expectedCount;
    };
    const std::vector<Row> rows = {
        {Json::Value(), Json::Value(), 3000, 2},  // absent
        {10, 0, 3000, 2},
        {0, 7, 3000, 2},
        {10, 7, 10, 7},  // both stated: kept even though they disagree
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.totalSize.toStyledString() + row.fileCount.toStyledString());
        test::LogCapture log;
        Json::Value document = LegacyDocument();
        if (!row.totalSize.isNull()) document["totalSize"] = row.totalSize;
        if (!row.fileCount.isNull()) document["fileCount"] = row.fileCount;
        const Parsed parsed = Parse(document);
        ASSERT_EQ(parsed.code, ErrorCode::Success);
        EXPECT_EQ(parsed.manifest.totalSize, row.expectedSize);
        EXPECT_EQ(parsed.manifest.fileCount, row.expectedCount);
    }
}

TEST(ManifestParse, LegacyFields) {
    test::LogCapture log;
    Json::Value document = LegacyDocument();
    document["description"] = "d";
    document["manifestId"] = "id-7";
    document["isIncremental"] = true;
    document["previousVersion"] = "1.2.2";
    document["createdAt"] = "2024-03-04T05:06:07.123+01:00";
    document["createdBy"] = "ci";
    document["signerCertificate"] = "cert";
    document["files"][0]["sha256"] = std::string(64, 'B');
    const Parsed parsed = Parse(document);
    ASSERT_EQ(parsed.code, ErrorCode::Success);
    const UpdateManifest& m = parsed.manifest;
    EXPECT_EQ(m.version, "1.2.3");
    EXPECT_EQ(m.gameVersion, "5.0.1");
    EXPECT_EQ(m.channel, "beta");
    EXPECT_EQ(m.baseUrl, "https://cdn.example/builds/");
    EXPECT_EQ(m.manifestId, "id-7");
    EXPECT_EQ(m.description, "d");
    EXPECT_TRUE(m.isIncremental);
    EXPECT_EQ(m.previousVersion, "1.2.2");
    EXPECT_EQ(m.createdBy, "ci");
    EXPECT_EQ(m.signature, "c2lnbmF0dXJl");
    EXPECT_EQ(m.signerCertificate, "cert");
    EXPECT_TRUE(m.signatureBlock.isObject() && m.signatureBlock.empty());
    EXPECT_EQ(m.component, "");
    EXPECT_FALSE(m.componentExplicit);
    EXPECT_EQ(m.files[0].sha256, std::string(64, 'b'));  // lower-cased
    const std::tm created = LocalFields(m.createdAt);
    EXPECT_EQ(created.tm_mon, 2);
    EXPECT_EQ(created.tm_mday, 4);
    EXPECT_EQ(created.tm_hour, 5);
    EXPECT_EQ(created.tm_min, 6);
    EXPECT_EQ(created.tm_sec, 7);

    document.removeMember("channel");
    document["createdAt"] = "yesterday";
    const Parsed defaults = Parse(document);
    EXPECT_EQ(defaults.manifest.channel, "stable");
    EXPECT_EQ(defaults.manifest.createdAt, 0);  // a date that does not match stays unchanged
}

TEST(ManifestParse, AssetMapping) {
    test::LogCapture log;
    Json::Value document = AssetDocument();
    document["channel"] = "top-level channel is not read";
    document["description"] = "desc";
    document["baseUrl"] = "https://cdn.example/";
    document["createdBy"] = "pipeline";
    document["signatureBlock"]["signature"] = "sig";
    Json::Value second = Asset("launcher/ui.pak", 5, std::string(64, 'F'));
    second["lastModified"] = "2024-05-06T07:08:09";
    document["assets"].append(second);

    const Parsed parsed = Parse(document);
    ASSERT_EQ(parsed.code, ErrorCode::Success);
    const UpdateManifest& m = parsed.manifest;
    EXPECT_EQ(m.version, "2.0.0");
    EXPECT_EQ(m.gameVersion, "2.0.0");
    EXPECT_EQ(m.channel, "live");
    EXPECT_EQ(m.manifestId, "m-1");
    EXPECT_EQ(m.description, "desc");
    EXPECT_EQ(m.baseUrl, "https://cdn.example/");
    EXPECT_EQ(m.createdBy, "pipeline");
    EXPECT_EQ(m.component, "client");
    EXPECT_FALSE(m.componentExplicit);
    EXPECT_EQ(m.signature, "sig");
    EXPECT_EQ(m.signatureBlock["signature"].asString(), "sig");
    ASSERT_EQ(m.files.size(), 2u);
    EXPECT_EQ(m.files[1].relativePath, "launcher/ui.pak");
    EXPECT_EQ(m.files[1].sha256, std::string(64, 'f'));
    EXPECT_EQ(m.files[1].size, 5u);
    EXPECT_EQ(m.files[1].downloadUrl, "https://cdn.example/full/launcher/ui.pak");
    EXPECT_EQ(LocalFields(m.files[1].lastModified).tm_mday, 6);
    EXPECT_EQ(m.totalSize, 305u);
    EXPECT_EQ(m.fileCount, 2);

    // "2024-01-02T03:04:05Z" is 03:04:05 local time.
    const std::tm created = LocalFields(m.createdAt);
    EXPECT_EQ(created.tm_year, 124);
    EXPECT_EQ(created.tm_mon, 0);
    EXPECT_EQ(created.tm_mday, 2);
    EXPECT_EQ(created.tm_hour, 3);
    EXPECT_EQ(created.tm_min, 4);
    EXPECT_EQ(created.tm_sec, 5);
}

TEST(ManifestParse, AssetWithoutPathNamesTheFileField) {
    test::LogCapture log;
    Json::Value asset = Asset("x");
    asset.removeMember("path");
    ManifestFileEntry entry;
    EXPECT_EQ(ManifestHandler::ParseFileEntry(ManifestHandler::AssetToFileObject(asset), entry),
              ErrorCode::ManifestSchemaInvalid);
    EXPECT_TRUE(log.HasMessage("Required field missing: files.path (or relativePath)"));
}

TEST(ManifestParse, ComponentLogLines) {
    struct Row {
        const char* name;
        bool asset;
        std::function<void(Json::Value&)> mutate;
        std::string line;
        ComponentKind kind;
        ErrorCode code = ErrorCode::Success;
    };
    auto launcherFiles = [](Json::Value& d) {
        d.removeMember("gameVersion");
        d["files"][0]["path"] = "Launcher/a.exe";
        d["files"][1]["path"] = "launcher/resources/b.pak";
    };
    const std::vector<Row> rows = {
        {"explicit launcher", false, [](Json::Value& d) { d["component"] = "LAUNCHER"; },
         "Component explicitly set: launcher", ComponentKind::Launcher},
        {"explicit tools", false, [](Json::Value& d) { d["component"] = "tools"; },
         "Component explicitly set: client", ComponentKind::Client},
        {"game version", false, [](Json::Value&) {}, "Component inferred as client (gameVersion present)",
         ComponentKind::Client},
        {"asset without component", true, [](Json::Value&) {}, "Component inferred as client (gameVersion present)",
         ComponentKind::Client},
        {"asset with component", true, [](Json::Value& d) { d["component"] = "client"; },
         "Component explicitly set: client", ComponentKind::Client},
        {"launcher paths", false, launcherFiles,
         "Component inferred as launcher (2 launcher patterns, 1 resources patterns, 0 client patterns)",
         ComponentKind::Launcher},
        {"no pattern", false,
         [](Json::Value& d) {
             d["gameVersion"] = "";
             d["files"][0]["path"] = "x/a";
             d["files"][1]["path"] = "y/b";
         },
         "Component inferred as client (backwards compatibility default)", ComponentKind::Client,
         ErrorCode::ManifestSchemaInvalid},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        test::LogCapture log(true);
        Json::Value document = row.asset ? AssetDocument() : LegacyDocument();
        row.mutate(document);
        const Parsed parsed = Parse(document);
        EXPECT_EQ(parsed.code, row.code);
        EXPECT_EQ(parsed.manifest.componentKind, row.kind);
        EXPECT_TRUE(log.HasMessage(row.line));
    }
}

TEST(ManifestParse, SummaryAndGameVersionLines) {
    {
        test::LogCapture log(true);
        Json::Value document = LegacyDocument();
        document["files"][0]["size"] = 3 * 1048576 - 1;
        ASSERT_EQ(Parse(document).code, ErrorCode::Success);
        // 3 MiB + 1999 bytes in all: whole megabytes, rounded down.
        EXPECT_TRUE(log.HasMessage("Manifest parsed successfully: 2 files, 3 MB total, component=client"));
        EXPECT_TRUE(log.HasMessage("Parsing manifest JSON"));
    }
    {
        test::LogCapture log(true);
        Json::Value document = LegacyDocument();
        document.removeMember("gameVersion");
        document["component"] = "launcher";
        ASSERT_EQ(Parse(document).code, ErrorCode::Success);
        EXPECT_TRUE(log.HasMessage("gameVersion not specified (acceptable for launcher manifests)"));
    }
    {
        test::LogCapture log;
        Json::Value document = LegacyDocument();
        document["gameVersion"] = "";
        EXPECT_EQ(Parse(document).code, ErrorCode::ManifestSchemaInvalid);
        EXPECT_TRUE(log.HasMessage("gameVersion is required for client manifests"));
    }
}

}  // namespace
}  // namespace zuvelo
