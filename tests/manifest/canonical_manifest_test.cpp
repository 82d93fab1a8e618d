#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "manifest/canonical_manifest.h"
#include "manifest/manifest_handler.h"
#include "tests/support/log_capture.h"

namespace zuvelo {
namespace {

// Unsigned members, an upper-case hash and a non-ASCII path included.
const std::string kManifest =
    R"({"version":"1.4.0","gameVersion":"9.1","channel":"beta","baseUrl":"https://cdn.example/b/")"
    R"(,"description":"not signed","manifestId":"id","createdAt":"2024-01-01T00:00:00","signature)"
    R"(":"x","files":[{"path":"bin/App.exe","sha256":"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA)"
    R"(AAAAAAAAAAAAAAAAAAAAA","size":1024,"isExecutable":true},{"path":"data/café.pak","sha256Has)"
    R"(h":"bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb","size":0,"isRequired)"
    R"(":false,"downloadUrl":"https://other.example/c.pak","compressionLevel":3,"permissions":"60)"
    R"(0"}]})";

const std::string kGolden =
    R"({"baseUrl":"https://cdn.example/b/","channel":"beta","fileCount":2,"files":[{"isExecutable)"
    R"(":true,"permissions":"644","relativePath":"bin/App.exe","sha256Hash":"AAAAAAAAAAAAAAAAAAAA)"
    R"(AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA","size":1024},{"compressionLevel":3,"download)"
    R"(Url":"https://other.example/c.pak","isRequired":false,"permissions":"600","relativePath":")"
    R"(data/caf\u00e9.pak","sha256Hash":"bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb)"
    R"(bbbbbbbb","size":0}],"gameVersion":"9.1","totalSize":1024,"version":"1.4.0"})";

UpdateManifest ParseOk(const std::string& text) {
    test::LogCapture log;
    UpdateManifest manifest;
    EXPECT_EQ(ManifestHandler::ParseManifestJson(text, manifest), ErrorCode::Success);
    return manifest;
}

TEST(CanonicalManifest, GoldenText) { EXPECT_EQ(CanonicalManifestText(ParseOk(kManifest)), kGolden); }

TEST(CanonicalManifest, MemberOrderDoesNotMatter) {
    const std::string reordered =
        R"({"files":[{"size":1,"sha256":")" + std::string(64, 'a') + R"(","path":"a"}],"signature":"s",)"
        R"("gameVersion":"1.0","version":"1.0.0"})";
    const std::string ordered =
        R"({"version":"1.0.0","gameVersion":"1.0","signature":"s",)"
        R"("files":[{"path":"a","sha256":")" + std::string(64, 'a') + R"(","size":1}]})";
    EXPECT_EQ(CanonicalManifestText(ParseOk(reordered)), CanonicalManifestText(ParseOk(ordered)));
}

TEST(CanonicalManifest, RequiredTrueIsSignedLikeAbsent) {
    const std::string hash = std::string(64, 'a');
    const std::string head =
        R"({"version":"1.0.0","gameVersion":"1.0","signature":"s","files":[{"path":"a","sha256":")" + hash;
    const std::string absent = CanonicalManifestText(ParseOk(head + R"(","size":1}]})"));
    EXPECT_EQ(CanonicalManifestText(ParseOk(head + R"(","size":1,"isRequired":true}]})")), absent);
    EXPECT_EQ(CanonicalManifestText(ParseOk(head + R"(","size":1,"isExecutable":false}]})")), absent);
    EXPECT_NE(CanonicalManifestText(ParseOk(head + R"(","size":1,"isRequired":false}]})")), absent);
}

TEST(CanonicalManifest, OnlySignedFieldsCount) {
    struct Row {
        const char* name;
        std::function<void(UpdateManifest&)> change;
        bool signedField;
    };
    const std::vector<Row> rows = {
        {"description", [](UpdateManifest& m) { m.description = "other"; }, false},
        {"createdAt", [](UpdateManifest& m) { m.createdAt = 42; }, false},
        {"manifestId", [](UpdateManifest& m) { m.manifestId = "other"; }, false},
        {"createdBy", [](UpdateManifest& m) { m.createdBy = "other"; }, false},
        {"signature", [](UpdateManifest& m) { m.signature = "other"; }, false},
        {"signerCertificate", [](UpdateManifest& m) { m.signerCertificate = "other"; }, false},
        {"previousVersion", [](UpdateManifest& m) { m.previousVersion = "0.9.0"; }, false},
        {"isIncremental", [](UpdateManifest& m) { m.isIncremental = true; }, false},
        {"component", [](UpdateManifest& m) { m.component = "launcher"; }, false},
        {"file lastModified", [](UpdateManifest& m) { m.files[0].lastModified = 42; }, false},
        {"version", [](UpdateManifest& m) { m.version = "1.4.1"; }, true},
        {"gameVersion", [](UpdateManifest& m) { m.gameVersion = "9.2"; }, true},
        {"channel", [](UpdateManifest& m) { m.channel = "stable"; }, true},
        {"baseUrl", [](UpdateManifest& m) { m.baseUrl = "https://evil.example/"; }, true},
        {"totalSize", [](UpdateManifest& m) { m.totalSize += 1; }, true},
        {"fileCount", [](UpdateManifest& m) { m.fileCount += 1; }, true},
        {"file order", [](UpdateManifest& m) { std::swap(m.files[0], m.files[1]); }, true},
        {"file path", [](UpdateManifest& m) { m.files[0].relativePath = "bin/Other.exe"; }, true},
        {"file hash", [](UpdateManifest& m) { m.files[0].sha256AsWritten[0] = 'B'; }, true},
        {"file size", [](UpdateManifest& m) { m.files[0].size += 1; }, true},
        {"file isExecutable", [](UpdateManifest& m) { m.files[0].isExecutable = false; }, true},
        {"file isRequired", [](UpdateManifest& m) { m.files[0].isRequired = false; }, true},
        {"file downloadUrl", [](UpdateManifest& m) { m.files[0].downloadUrl = "https://evil.example/x"; }, true},
        {"file compressionLevel", [](UpdateManifest& m) { m.files[0].compressionLevel = 1; }, true},
        {"file permissions", [](UpdateManifest& m) { m.files[0].permissions = "777"; }, true},
        {"file permissions empty", [](UpdateManifest& m) { m.files[0].permissions.clear(); }, true},
    };
    const UpdateManifest base = ParseOk(kManifest);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        UpdateManifest changed = base;
        row.change(changed);
        EXPECT_EQ(CanonicalManifestText(changed) != kGolden, row.signedField);
    }
}

}  // namespace
}  // namespace zuvelo
