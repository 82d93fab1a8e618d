#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "manifest/base64.h"
#include "manifest/canonical_manifest.h"
#include "manifest/crypto_verifier.h"
#include "manifest/ed25519.h"
#include "manifest/manifest_handler.h"
#include "manifest/trusted_keys.h"
#include "tests/manifest/manifest_documents.h"
#include "tests/support/log_capture.h"
#include "tests/support/manifest_signing.h"
#include "tests/support/test_folders.h"

namespace zuvelo {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> FromHex(const std::string& hex) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

Ed25519PublicKey KeyFromHex(const std::string& hex) {
    Ed25519PublicKey key{};
    const std::vector<uint8_t> bytes = FromHex(hex);
    std::copy(bytes.begin(), bytes.end(), key.begin());
    return key;
}

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

TEST(ManifestTestKey, CommittedHalvesBelongTogether) {
    const std::string published = test::ReadFile(test::TestKeysFolder() / "manifest_test_key.pub");
    const std::string derived = test::SigningKey::ManifestTestKey().PublicKeyBase64();
    EXPECT_EQ(SplitPublicKeyList(published), std::vector<std::string>{derived});
}

// Whatever the build was configured with, CMake let through only usable keys. The
// builds of scripts/test must also trust the test key: without it every signature
// would be accepted unchecked and this test would have nothing to look at.
TEST(TrustedKeys, BuildKeysAreUsable) {
    const std::vector<std::string> keys = BuildManifestPublicKeys();
#ifdef ZUVELO_REQUIRE_TEST_KEY
    const std::vector<std::string> testKey =
        SplitPublicKeyList(test::ReadFile(test::TestKeysFolder() / "manifest_test_key.pub"));
    ASSERT_EQ(testKey.size(), 1u);
    EXPECT_THAT(keys, ::testing::Contains(testKey[0]))
        << "this build does not trust the test key: configure it with -DZUVELO_MANIFEST_PUBLIC_KEYS";
#endif
    for (const std::string& key : keys) {
        const auto raw = DecodeBase64(key);
        ASSERT_TRUE(raw.has_value()) << key;
        EXPECT_EQ(raw->size(), kEd25519PublicKeyBytes);
    }
}

TEST(CryptoVerifier, DetachedSignatureFiles) {
    test::TempFolder folder;
    const test::SigningKey key = test::SigningKey::Generate();
    test::WriteFile(folder / "data", "payload");
    test::WriteFile(folder / "sig", key.SignBase64("payload"));
    test::LogCapture log(true);
    const CryptoVerifier verifier({key.PublicKeyBase64()});

    EXPECT_EQ(verifier.VerifyDetachedSignature(folder / "data", folder / "sig"), ErrorCode::Success);
    EXPECT_TRUE(log.HasMessage("Verifying detached Ed25519 signature"));
    EXPECT_TRUE(log.HasMessage("Data file: " + (folder / "data").string()));
    EXPECT_EQ(verifier.VerifyDetachedSignature(folder / "none", folder / "sig"), ErrorCode::FileNotFound);
    EXPECT_TRUE(log.HasMessage("Failed to read data file"));
    EXPECT_EQ(verifier.VerifyDetachedSignature(folder / "data", folder / "none"), ErrorCode::FileNotFound);
    EXPECT_TRUE(log.HasMessage("Failed to read signature file"));
}

TEST(CryptoVerifier, ReadFileBytes) {
    test::TempFolder folder;
    test::WriteFile(folder / "bytes", std::string("a\0b", 3));
    test::WriteFile(folder / "empty", "");
    test::LogCapture log;
    std::vector<uint8_t> bytes = {9};

    EXPECT_EQ(CryptoVerifier::ReadFileBytes(folder / "bytes", bytes), ErrorCode::Success);
    EXPECT_EQ(bytes, (std::vector<uint8_t>{'a', 0, 'b'}));
    EXPECT_EQ(CryptoVerifier::ReadFileBytes(folder / "empty", bytes), ErrorCode::Success);
    EXPECT_TRUE(bytes.empty());
    EXPECT_EQ(CryptoVerifier::ReadFileBytes(folder / "none", bytes), ErrorCode::FileNotFound);
    EXPECT_TRUE(log.HasMessage("Failed to open file: " + (folder / "none").string()));
    EXPECT_NE(CryptoVerifier::ReadFileBytes(folder.path(), bytes), ErrorCode::Success);  // a folder
    EXPECT_TRUE(bytes.empty());
}

// RFC 8032, section 7.1, tests 1 and 2.
TEST(Ed25519, KnownAnswers) {
    const Ed25519PublicKey key1 = KeyFromHex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");
    const std::vector<uint8_t> sig1 = FromHex(
        "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e06522490155"
        "5fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b");
    const Ed25519PublicKey key2 = KeyFromHex("3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c");
    const std::vector<uint8_t> sig2 = FromHex(
        "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da"
        "085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00");
    const std::vector<uint8_t> message2 = {0x72};

    EXPECT_TRUE(VerifyEd25519(key1, {}, sig1));
    EXPECT_TRUE(VerifyEd25519(key2, message2, sig2));
    EXPECT_FALSE(VerifyEd25519(key1, message2, sig1));
    EXPECT_FALSE(VerifyEd25519(key2, message2, sig1));
    EXPECT_FALSE(VerifyEd25519(key2, message2, std::vector<uint8_t>(sig2.begin(), sig2.end() - 1)));
}

TEST(Base64, StrictDecoding) {
    struct Row {
        const char* text;
        std::optional<std::string> bytes;
    };
    const std::vector<Row> rows = {
        {"", ""},
        {"Zg==", "f"},
        {"Zm8=", "fo"},
        {"Zm9v", "foo"},
        {"Zm9vYmFy", "foobar"},
        {"+/+/", "\xfb\xff\xbf"},
        {"Zg=", std::nullopt},      // missing padding
        {"Zg", std::nullopt},
        {"Zh==", std::nullopt},     // stray bits
        {"Zm9=", std::nullopt},
        {"Z===", std::nullopt},
        {"====", std::nullopt},
        {"Zg==Zg==", std::nullopt}, // padding inside
        {"Zm9v\n", std::nullopt},
        {" Zm9v", std::nullopt},
        {"Zm-v", std::nullopt},     // URL alphabet
        {"Zm9v!A==", std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        const auto decoded = DecodeBase64(row.text);
        ASSERT_EQ(decoded.has_value(), row.bytes.has_value());
        if (decoded) {
            EXPECT_EQ(std::string(decoded->begin(), decoded->end()), *row.bytes);
        }
    }
}

TEST(TrustedKeys, SplitPublicKeyList) {
    using Keys = std::vector<std::string>;
    EXPECT_EQ(SplitPublicKeyList(""), Keys{});
    EXPECT_EQ(SplitPublicKeyList("a"), Keys{"a"});
    EXPECT_EQ(SplitPublicKeyList("a;b"), (Keys{"a", "b"}));
    EXPECT_EQ(SplitPublicKeyList(" a , b ;; c\n"), (Keys{"a", "b", "c"}));
    EXPECT_EQ(SplitPublicKeyList(";, ;"), Keys{});
}

}  // namespace
}  // namespace zuvelo
