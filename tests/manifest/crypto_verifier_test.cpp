#include "manifest/crypto_verifier.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/log_capture.h"
#include "tests/support/manifest_signing.h"
#include "tests/support/test_folders.h"

namespace zuvelo {
namespace {

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

}  // namespace
}  // namespace zuvelo
