#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include <openssl/types.h>

namespace zuvelo::test {

// An Ed25519 key pair that signs test manifests.
class SigningKey {
public:
    static SigningKey Generate();
    static SigningKey FromPemFile(const std::filesystem::path& path);
    // The committed test-only key under tests/keys.
    static SigningKey ManifestTestKey();

    std::string PublicKeyBase64() const;
    // Base64 of the 64-byte signature of message.
    std::string SignBase64(std::string_view message) const;

private:
    struct Free {
        void operator()(EVP_PKEY* key) const;
    };
    explicit SigningKey(EVP_PKEY* key) : key_(key) {}
    std::unique_ptr<EVP_PKEY, Free> key_;
};

std::filesystem::path TestKeysFolder();
std::string EncodeBase64(std::span<const uint8_t> bytes);

}  // namespace zuvelo::test
