#include "manifest/ed25519.h"

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace zuvelo {
namespace {

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

}  // namespace
}  // namespace zuvelo
