#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "manifest/canonical_manifest.h"
#include "manifest/manifest_handler.h"
#include "tests/manifest/manifest_documents.h"
#include "tests/support/log_capture.h"
#include "tests/support/manifest_signing.h"
#include "tests/support/test_folders.h"

namespace zuvelo {
namespace {

namespace fs = std::filesystem;

bool FolderIsEmpty(const fs::path& folder) { return fs::is_empty(folder); }

UpdateManifest ParsedLegacyManifest() {
    test::LogCapture quiet;
    UpdateManifest manifest;
    EXPECT_EQ(ManifestHandler::ParseManifestJson(test::ToText(test::LegacyDocument()), manifest), ErrorCode::Success);
    return manifest;
}

class ManifestSignature : public ::testing::Test {
protected:
    test::TempFolder cache;
    test::SigningKey first = test::SigningKey::Generate();
    test::SigningKey second = test::SigningKey::Generate();
    test::SigningKey foreign = test::SigningKey::Generate();
    std::vector<std::string> trusted = {first.PublicKeyBase64(), second.PublicKeyBase64()};
};

TEST_F(ManifestSignature, Outcomes) {
    struct Row {
        const char* name;
        std::vector<std::string> keys;
        // Signs (or spoils) the manifest; the unsigned record is passed in.
        std::function<void(UpdateManifest&)> sign;
        ErrorCode expected;
        std::string reason;  // the verifier's ERROR line, if any
    };
    auto signedBy = [](const test::SigningKey& key) {
        return [&key](UpdateManifest& m) { m.signature = key.SignBase64(CanonicalManifestText(m)); };
    };
    const std::vector<Row> rows = {
        {"first trusted key", trusted, signedBy(first), ErrorCode::Success, ""},
        {"second trusted key", trusted, signedBy(second), ErrorCode::Success, ""},
        {"tampered size",
         trusted,
         [&](UpdateManifest& m) {
             signedBy(first)(m);
             m.files[0].size += 1;
         },
         ErrorCode::ManifestSignatureInvalid, "Signature does not match any trusted public key"},
        {"tampered base URL",
         trusted,
         [&](UpdateManifest& m) {
             signedBy(first)(m);
             m.baseUrl = "https://evil.example/";
         },
         ErrorCode::ManifestSignatureInvalid, "Signature does not match any trusted public key"},
        {"foreign key", trusted, signedBy(foreign), ErrorCode::ManifestSignatureInvalid,
         "Signature does not match any trusted public key"},
        {"truncated",
         trusted,
         [&](UpdateManifest& m) {
             signedBy(first)(m);
             m.signature.resize(m.signature.size() - 4);
         },
         ErrorCode::ManifestSignatureInvalid, "Signature is not base64 of a 64-byte Ed25519 signature"},
        {"63 bytes",
         trusted,
         [](UpdateManifest& m) { m.signature = test::EncodeBase64(std::vector<uint8_t>(63, 1)); },
         ErrorCode::ManifestSignatureInvalid, "Signature is not base64 of a 64-byte Ed25519 signature"},
        {"not base64", trusted, [](UpdateManifest& m) { m.signature = "not base64!"; },
         ErrorCode::ManifestSignatureInvalid, "Signature is not base64 of a 64-byte Ed25519 signature"},
        {"trailing line feed",
         trusted,
         [&](UpdateManifest& m) {
             signedBy(first)(m);
             m.signature += "\n";
         },
         ErrorCode::ManifestSignatureInvalid, "Signature is not base64 of a 64-byte Ed25519 signature"},
        {"only a malformed key is configured", {"bm90IGEga2V5"}, signedBy(first), ErrorCode::ManifestSignatureInvalid,
         "Signature does not match any trusted public key"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        UpdateManifest manifest = ParsedLegacyManifest();
        row.sign(manifest);
        test::LogCapture log(true);
        ManifestHandler handler(L"", {.cacheDir = cache.path(), .trustedPublicKeys = row.keys});

        EXPECT_EQ(handler.VerifyManifestSignature(manifest), row.expected);
        const bool verified = row.expected == ErrorCode::Success;
        EXPECT_EQ(log.HasMessage("Manifest signature verified successfully"), verified);
        EXPECT_EQ(log.HasMessage("Manifest signature verification failed"), !verified);
        if (!row.reason.empty()) {
            EXPECT_TRUE(log.HasMessage(row.reason));
        }
        EXPECT_TRUE(FolderIsEmpty(cache.path()));  // both temporary files are gone
    }
}

TEST_F(ManifestSignature, WithoutKeysEverySignatureIsAcceptedButNeverCalledVerified) {
    for (const std::string& signature : {std::string("anything"), first.SignBase64("other text")}) {
        UpdateManifest manifest = ParsedLegacyManifest();
        manifest.signature = signature;
        test::LogCapture log(true);
        ManifestHandler handler(L"", {.cacheDir = cache.path(), .trustedPublicKeys = {}});

        EXPECT_EQ(handler.VerifyManifestSignature(manifest), ErrorCode::Success);
        const auto warnings = log.EventsWhere("level", "WARNING");
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_EQ(warnings[0]["message"].asString(), "Manifest signature not verified: no trusted key is configured");
        EXPECT_EQ(warnings[0]["component"].asString(), "ManifestHandler");
        EXPECT_FALSE(log.HasMessage("Manifest signature verified successfully"));
        EXPECT_TRUE(FolderIsEmpty(cache.path()));
    }
}

TEST_F(ManifestSignature, MissingSignatureIs122) {
    UpdateManifest manifest = ParsedLegacyManifest();
    manifest.signature.clear();
    test::LogCapture log;
    EXPECT_EQ(ManifestHandler(L"", {.cacheDir = cache.path(), .trustedPublicKeys = trusted}).VerifyManifestSignature(manifest),
              ErrorCode::ManifestSignatureInvalid);
    EXPECT_TRUE(log.HasMessage("No signature provided for verification (required for all manifests)"));
}

TEST_F(ManifestSignature, AssetManifestWritesNoTemporaryFiles) {
    UpdateManifest manifest;
    {
        test::LogCapture quiet;
        const std::string text = test::ToText(test::AssetDocument());
        ASSERT_EQ(ManifestHandler::ParseManifestJson(text, manifest), ErrorCode::Success);
    }
    // A cache folder that does not exist would fail any write.
    const fs::path missing = cache / "missing";
    test::LogCapture log(true);
    ManifestHandler handler(L"", {.cacheDir = missing, .trustedPublicKeys = trusted});
    EXPECT_EQ(handler.VerifyManifestSignature(manifest), ErrorCode::Success);
    EXPECT_EQ(handler.ValidateManifest(manifest), ErrorCode::Success);
    EXPECT_TRUE(log.HasMessage("Skipping manifest signature verification (schema override)"));
    EXPECT_TRUE(log.HasMessage("Skipping signature verification for schema override"));
    EXPECT_FALSE(fs::exists(missing));
    // Applied unchecked by a build that trusts keys: said once, above DEBUG.
    const auto warnings = log.EventsWhere("level", "WARNING");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0]["message"].asString(), "Manifest signature not verified: asset manifests carry no signature");
}

TEST_F(ManifestSignature, UnwritableCacheFails) {
    UpdateManifest manifest = ParsedLegacyManifest();
    manifest.signature = first.SignBase64(CanonicalManifestText(manifest));
    test::LogCapture log;
    ManifestHandler handler(L"", {.cacheDir = cache / "missing", .trustedPublicKeys = trusted});
    EXPECT_EQ(handler.VerifyManifestCmsSignature("data", manifest.signature), ErrorCode::FileAccessDenied);
    EXPECT_EQ(handler.VerifyManifestSignature(manifest), ErrorCode::ManifestSignatureInvalid);
    EXPECT_TRUE(log.HasMessage("Manifest signature verification failed"));
}

// A manifest signed with the committed test key passes the whole way through.
TEST_F(ManifestSignature, SignedManifestTextPassesValidation) {
    const test::SigningKey key = test::SigningKey::ManifestTestKey();
    UpdateManifest unsignedRecord = ParsedLegacyManifest();
    Json::Value document = test::LegacyDocument();
    document["signature"] = key.SignBase64(CanonicalManifestText(unsignedRecord));

    test::LogCapture log;
    UpdateManifest manifest;
    ASSERT_EQ(ManifestHandler::ParseManifestJson(test::ToText(document), manifest), ErrorCode::Success);
    ManifestHandler handler(L"", {.cacheDir = cache.path(), .trustedPublicKeys = {key.PublicKeyBase64()}});
    EXPECT_EQ(handler.ValidateManifest(manifest), ErrorCode::Success);
    EXPECT_TRUE(log.HasMessage("Manifest signature verified successfully"));
    EXPECT_TRUE(log.HasMessage("Manifest validation successful"));

    document["files"][0]["size"] = 1001;
    ASSERT_EQ(ManifestHandler::ParseManifestJson(test::ToText(document), manifest = {}), ErrorCode::Success);
    EXPECT_EQ(handler.ValidateManifest(manifest), ErrorCode::ManifestSignatureInvalid);
}

}  // namespace
}  // namespace zuvelo
