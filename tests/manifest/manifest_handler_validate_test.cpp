#include <functional>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "manifest/manifest_handler.h"
#include "manifest/manifest_rules.h"
#include "tests/manifest/manifest_documents.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_folders.h"

namespace zuvelo {
namespace {

using test::Asset;
using test::AssetDocument;
using test::Hash;
using test::LegacyDocument;
using test::LegacyFile;

using Mutation = std::function<void(Json::Value&)>;

constexpr uint64_t k2GiB = 2147483648ull;
constexpr ErrorCode kOk = ErrorCode::Success;
constexpr ErrorCode kSchema = ErrorCode::ManifestSchemaInvalid;

std::string Repeat(const std::string& unit, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) text += unit;
    return text;
}

std::vector<std::string> ErrorMessages(const test::LogCapture& log) {
    std::vector<std::string> messages;
    for (const Json::Value& event : log.EventsWhere("level", "ERROR")) messages.push_back(event["message"].asString());
    return messages;
}

// What the application flow does with a downloaded manifest, without a trusted key.
ErrorCode ParseAndValidate(const std::string& text, const std::filesystem::path& cache) {
    UpdateManifest manifest;
    const ErrorCode parsed = ManifestHandler::ParseManifestJson(text, manifest);
    if (!Succeeded(parsed)) return parsed;
    ManifestHandler handler(L"", {.cacheDir = cache, .trustedPublicKeys = {}});
    return handler.ValidateManifest(manifest);
}

Mutation Set(const std::string& key, const Json::Value& value) {
    return [=](Json::Value& document) { document[key] = value; };
}
Mutation Remove(const std::string& key) {
    return [=](Json::Value& document) { document.removeMember(key); };
}
// On the first element of "files" or "assets".
Mutation SetInFirst(const std::string& list, const std::string& key, const Json::Value& value) {
    return [=](Json::Value& document) { document[list][0][key] = value; };
}
Mutation RemoveInFirst(const std::string& list, const std::string& key) {
    return [=](Json::Value& document) { document[list][0].removeMember(key); };
}
Mutation FileCount(size_t count) {
    return [=](Json::Value& document) {
        Json::Value files(Json::arrayValue);
        for (size_t i = 0; i < count; ++i) files.append(LegacyFile("bin/f" + std::to_string(i), 1));
        document["files"] = files;
    };
}
Mutation AssetCount(size_t count) {
    return [=](Json::Value& document) {
        Json::Value assets(Json::arrayValue);
        for (size_t i = 0; i < count; ++i) assets.append(Asset("game/a" + std::to_string(i), 1));
        document["assets"] = assets;
    };
}
Mutation LauncherFilesOnly() {
    return [](Json::Value& document) {
        document.removeMember("gameVersion");
        document["files"] = Json::Value(Json::arrayValue);
        document["files"].append(LegacyFile("launcher/Launcher.exe"));
        document["files"].append(LegacyFile("launcher/resources/ui.pak"));
    };
}

struct BoundaryRow {
    std::string name;
    bool asset;
    Mutation mutate;
    ErrorCode expected;
    std::string error;  // the one ERROR line; empty when accepted
};

std::vector<BoundaryRow> BoundaryRows() {
    const std::string path260 = std::string(260, 'p');
    const std::string path261 = std::string(261, 'p');
    const std::string wide260 = Repeat("\xC3\xA9", 130);  // 130 two-byte characters
    const std::string wide262 = Repeat("\xC3\xA9", 131);
    const std::string upper = Repeat("AB", 32);
    return {
        {"legacy as built", false, [](Json::Value&) {}, kOk, ""},
        {"asset as built", true, [](Json::Value&) {}, kOk, ""},
        // File count
        {"10000 files", false, FileCount(10000), kOk, ""},
        {"10001 files", false, FileCount(10001), kSchema, "Manifest exceeds maximum file count"},
        {"10000 assets", true, AssetCount(10000), kOk, ""},
        {"10001 assets", true, AssetCount(10001), kSchema, "Manifest exceeds maximum file count"},
        // Path length in bytes
        {"path 260", false, SetInFirst("files", "path", path260), kOk, ""},
        {"path 261", false, SetInFirst("files", "path", path261), kSchema, "Path too long: " + path261},
        {"path 130 two-byte", false, SetInFirst("files", "path", wide260), kOk, ""},
        {"path 131 two-byte", false, SetInFirst("files", "path", wide262), kSchema, "Path too long: " + wide262},
        {"asset path 260", true, SetInFirst("assets", "path", path260), kOk, ""},
        {"asset path 261", true, SetInFirst("assets", "path", path261), kSchema, "Asset path too long: " + path261},
        {"asset path 131 two-byte", true, SetInFirst("assets", "path", wide262), kSchema,
         "Asset path too long: " + wide262},
        // Size
        {"size 2^31", false, SetInFirst("files", "size", Json::UInt64(k2GiB)), kOk, ""},
        {"size 2^31+1", false, SetInFirst("files", "size", Json::UInt64(k2GiB + 1)), kSchema,
         "File exceeds maximum size limit"},
        {"asset size 2^31", true, SetInFirst("assets", "size", Json::UInt64(k2GiB)), kOk, ""},
        {"asset size 2^31+1", true, SetInFirst("assets", "size", Json::UInt64(k2GiB + 1)), kSchema,
         "Asset too large: game/main.pak"},
        // Hash
        {"hash 63", false, SetInFirst("files", "sha256", Hash().substr(1)), kSchema, "Invalid SHA-256 hash format"},
        {"hash line feed", false, SetInFirst("files", "sha256", Hash() + "\n"), kSchema, "Invalid SHA-256 hash format"},
        {"hash upper case", false, SetInFirst("files", "sha256", upper), kOk, ""},
        {"asset hash 63", true, SetInFirst("assets", "hash", Hash().substr(1)), kSchema,
         "Invalid asset hash format: " + Hash().substr(1)},
        {"asset hash line feed", true, SetInFirst("assets", "hash", Hash() + "\n"), kSchema,
         "Invalid asset hash format: " + Hash() + "\n"},
        {"asset hash upper case", true, SetInFirst("assets", "hash", upper), kOk, ""},
        // Version pattern
        {"version 1.2.3-beta.1", false, Set("version", "1.2.3-beta.1"), kOk, ""},
        {"version 1.2", false, Set("version", "1.2"), kSchema, "Invalid version format"},
        {"version 1.2.3+build", false, Set("version", "1.2.3+build"), kSchema, "Invalid version format"},
        {"version v1.2.3", false, Set("version", "v1.2.3"), kSchema, "Invalid version format"},
        {"asset version 1.2", true, [](Json::Value& d) { d["buildMetadata"]["version"] = "1.2"; }, kSchema,
         "Invalid version format: 1.2"},
        // Required members of the legacy dialect
        {"no version", false, Remove("version"), kSchema, "Required field missing: version"},
        {"no files", false, Remove("files"), kSchema, "Required field missing: files"},
        {"no gameVersion", false, Remove("gameVersion"), kSchema, "Required field missing: gameVersion"},
        {"no signature", false, Remove("signature"), kSchema, "Required field missing: signature"},
        {"empty signature", false, Set("signature", ""), ErrorCode::ManifestSignatureInvalid,
         "Manifest missing signature"},
        {"file without size", false, RemoveInFirst("files", "size"), kSchema, "Required field missing: files.size"},
        {"file without path", false, RemoveInFirst("files", "path"), kSchema,
         "Required field missing: files.path (or relativePath)"},
        {"file without hash", false, RemoveInFirst("files", "sha256"), kSchema,
         "Required field missing: files.sha256 (or sha256Hash)"},
        {"file with relativePath and sha256Hash", false,
         [](Json::Value& d) {
             d["files"][0] = Json::Value(Json::objectValue);
             d["files"][0]["relativePath"] = "bin/x.dll";
             d["files"][0]["sha256Hash"] = Hash();
             d["files"][0]["size"] = 1;
         },
         kOk, ""},
        {"files not an array", false, Set("files", "none"), kSchema, "Manifest contains no files"},
        // Launcher manifests need no game version, whichever way they are known
        {"explicit launcher", false, [](Json::Value& d) { d.removeMember("gameVersion"); d["component"] = "Launcher"; },
         kOk, ""},
        {"launcher by its paths", false, LauncherFilesOnly(), kOk, ""},
        {"launcher by its paths, component tools", false,
         [](Json::Value& d) { LauncherFilesOnly()(d); d["component"] = "tools"; }, kOk, ""},
        {"half launcher paths is a client", false,
         [](Json::Value& d) {
             d.removeMember("gameVersion");
             d["files"][0]["path"] = "launcher/Launcher.exe";
             d["files"][1]["path"] = "game/x.pak";
         },
         kSchema, "gameVersion is required for client manifests"},
        // Unsafe paths, refused before anything is downloaded
        {"path ..", false, SetInFirst("files", "path", "bin/../../etc/passwd"), kSchema, "Invalid or unsafe file path"},
        {"path absolute", false, SetInFirst("files", "path", "/etc/passwd"), kSchema, "Invalid or unsafe file path"},
        {"path drive", false, SetInFirst("files", "path", "C:/Windows/x.dll"), kSchema, "Invalid or unsafe file path"},
        {"path backslash ..", false, SetInFirst("files", "path", "bin\\..\\..\\x"), kSchema,
         "Invalid or unsafe file path"},
        {"path reserved name", false, SetInFirst("files", "path", "bin/nul.txt"), kSchema,
         "Invalid or unsafe file path"},
        {"path forbidden character", false, SetInFirst("files", "path", "bin/a?b"), kSchema,
         "Invalid or unsafe file path"},
        {"asset path ..", true, SetInFirst("assets", "path", "../x"), kSchema, "Invalid or unsafe file path"},
        // Required members and types of the asset dialect
        {"no schemaVersion", true, Remove("schemaVersion"), kSchema, "Required field missing: schemaVersion"},
        {"no manifestId", true, Remove("manifestId"), kSchema, "Required field missing: manifestId"},
        {"no createdUtc", true, Remove("createdUtc"), kSchema, "Required field missing: createdUtc"},
        {"no buildMetadata", true, Remove("buildMetadata"), kSchema, "Required field missing: buildMetadata"},
        {"no assets", true, Remove("assets"), kSchema, "Required field missing: assets"},
        {"no signatureBlock", true, Remove("signatureBlock"), kSchema, "Required field missing: signatureBlock"},
        {"buildMetadata a string", true, Set("buildMetadata", "2.0.0"), kSchema, "buildMetadata must be an object"},
        {"no build version", true, [](Json::Value& d) { d["buildMetadata"].removeMember("version"); }, kSchema,
         "Required field missing: buildMetadata.version"},
        {"assets empty", true, Set("assets", Json::Value(Json::arrayValue)), kSchema,
         "Manifest assets array is missing or empty"},
        {"assets an object", true, Set("assets", Json::Value(Json::objectValue)), kSchema,
         "Manifest assets array is missing or empty"},
        {"asset a string", true, [](Json::Value& d) { d["assets"][0] = "x"; }, kSchema,
         "Asset entry must be an object"},
        {"asset without path", true, RemoveInFirst("assets", "path"), kSchema, "Required field missing: assets.path"},
        {"asset without size", true, RemoveInFirst("assets", "size"), kSchema, "Required field missing: assets.size"},
        {"asset without hash", true, RemoveInFirst("assets", "hash"), kSchema, "Required field missing: assets.hash"},
        {"asset path a number", true, SetInFirst("assets", "path", 7), kSchema, "Asset path must be a string"},
        {"asset hash a number", true, SetInFirst("assets", "hash", 7), kSchema, "Asset hash must be a string"},
        {"asset size numeric text", true, SetInFirst("assets", "size", "12"), kSchema, "Asset size must be numeric"},
        {"asset without fullReference", true, RemoveInFirst("assets", "fullReference"), kSchema,
         "Required field missing: assets.fullReference"},
        {"asset fullReference without url", true, SetInFirst("assets", "fullReference", Json::Value(Json::objectValue)),
         kSchema, "Required field missing: assets.fullReference.url"},
        {"signatureBlock a string", true, Set("signatureBlock", "x"), kSchema, "signatureBlock must be an object"},
        {"no signature in block", true, Set("signatureBlock", Json::Value(Json::objectValue)), kSchema,
         "Required field missing: signatureBlock.signature"},
    };
}

TEST(ManifestValidation, BoundaryTable) {
    for (const BoundaryRow& row : BoundaryRows()) {
        SCOPED_TRACE(row.name);
        test::TempFolder cache;
        test::LogCapture log;
        Json::Value document = row.asset ? AssetDocument() : LegacyDocument();
        row.mutate(document);

        EXPECT_EQ(ParseAndValidate(test::ToText(document), cache.path()), row.expected);
        const std::vector<std::string> errors = ErrorMessages(log);
        if (row.error.empty()) {
            EXPECT_TRUE(errors.empty()) << errors.front();
        } else {
            ASSERT_EQ(errors.size(), 1u);
            EXPECT_EQ(errors.front(), row.error);
        }
    }
}

// Rules the parser already guarantees for parsed manifests, checked on records.
TEST(ManifestValidation, RecordRules) {
    struct Row {
        std::string name;
        std::function<void(UpdateManifest&)> mutate;
        ErrorCode expected;
        std::string error;
    };
    const std::vector<Row> rows = {
        {"as built", [](UpdateManifest&) {}, kOk, ""},
        {"no version", [](UpdateManifest& m) { m.version.clear(); }, kSchema, "Manifest missing version"},
        {"client without game version", [](UpdateManifest& m) { m.gameVersion.clear(); }, kSchema,
         "Manifest missing game version"},
        {"launcher kind without game version",
         [](UpdateManifest& m) { m.gameVersion.clear(); m.componentKind = ComponentKind::Launcher; }, kOk, ""},
        {"unparsed launcher record without game version",
         [](UpdateManifest& m) {
             m.gameVersion.clear();
             m.component = "LAUNCHER";
             m.componentKind = ComponentKind::Unknown;
         },
         kOk, ""},
        {"no files", [](UpdateManifest& m) { m.files.clear(); }, kSchema, "Manifest contains no files"},
        {"file too large", [](UpdateManifest& m) { m.files[0].size = k2GiB + 1; }, kSchema,
         "File too large: bin/a.dll"},
        {"file hash 63", [](UpdateManifest& m) { m.files[0].sha256.pop_back(); }, kSchema,
         "Invalid hash format for file: bin/a.dll"},
        {"file path empty", [](UpdateManifest& m) { m.files[0].relativePath.clear(); }, kSchema,
         "Invalid or unsafe file path"},
        {"asset record with empty signature", [](UpdateManifest& m) { m.signature.clear(); m.schemaOverride = true; },
         kOk, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        test::TempFolder cache;
        test::LogCapture log;
        UpdateManifest manifest;
        manifest.version = "1.0.0";
        manifest.gameVersion = "1.0.0";
        manifest.componentKind = ComponentKind::Client;
        manifest.signature = "c2ln";
        manifest.files.emplace_back();
        manifest.files[0].relativePath = "bin/a.dll";
        manifest.files[0].sha256 = Hash();
        manifest.files[0].size = 5;
        row.mutate(manifest);

        EXPECT_EQ(ManifestHandler(L"", {.cacheDir = cache.path(), .trustedPublicKeys = {}}).ValidateManifest(manifest), row.expected);
        const std::vector<std::string> errors = ErrorMessages(log);
        EXPECT_EQ(errors.empty() ? "" : errors.front(), row.error);
    }
}

TEST(ManifestValidation, TypeErrorsInsideEntriesThrow) {
    // The command or plan handler turns these into result 4.
    const std::vector<Mutation> mutations = {
        SetInFirst("files", "size", "12"),
        [](Json::Value& d) { d["files"][0] = 5; },
        Set("version", Json::Value(Json::objectValue)),
        SetInFirst("files", "size", -1),
    };
    for (size_t i = 0; i < mutations.size(); ++i) {
        SCOPED_TRACE(i);
        test::LogCapture log;
        Json::Value document = LegacyDocument();
        mutations[i](document);
        UpdateManifest manifest;
        EXPECT_THROW(ManifestHandler::ParseManifestJson(test::ToText(document), manifest), std::exception);
    }
}

// The hand-written matchers must agree with the patterns they stand for.
TEST(ManifestValidation, MatchersAgreeWithPatterns) {
    const std::regex version(R"(^\d+\.\d+\.\d+(?:-[a-zA-Z0-9]+(?:\.[a-zA-Z0-9]+)*)?$)");
    const std::regex hash("^[a-fA-F0-9]{64}$");
    const std::vector<std::string> inputs = {
        "", "1.2.3", "1.2.3-beta.1", "10.20.30-rc1.2.x", "1.2", "1.2.3+build", "v1.2.3", "1.2.3-", "1.2.3-a.",
        "1.2.3-a..b", "1..3", ".1.2.3", "1.2.3.4", "1.2.3-be_ta", "1.2.3 ", "01.002.0003", "1.2.3-\xC3\xA9",
        Hash(), Hash('F'), Hash().substr(1), Hash() + "a", Hash() + "\n", "g" + Hash().substr(1), Repeat("aB", 32),
    };
    for (const std::string& input : inputs) {
        SCOPED_TRACE(input);
        EXPECT_EQ(IsValidVersion(input), std::regex_match(input, version));
        EXPECT_EQ(IsValidSha256Hex(input), std::regex_match(input, hash));
    }
    // Long hostile text must not exhaust the stack.
    EXPECT_TRUE(IsValidVersion("1.2.3-" + std::string(1 << 20, 'a')));
}

}  // namespace
}  // namespace zuvelo
