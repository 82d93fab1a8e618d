#include "tests/support/manifest_signing.h"

#include <memory>
#include <stdexcept>
#include <vector>

#include <openssl/evp.h>
#include <openssl/pem.h>

#include "tests/support/test_folders.h"

namespace zuvelo::test {

namespace {

struct MdCtxFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};

}  // namespace

void SigningKey::Free::operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }

SigningKey SigningKey::Generate() {
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr));
    EVP_PKEY* key = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_keygen(ctx.get(), &key) != 1) {
        throw std::runtime_error("Ed25519 key generation failed");
    }
    return SigningKey(key);
}

SigningKey SigningKey::FromPemFile(const std::filesystem::path& path) {
    const std::string pem = ReadFile(path);
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
    EVP_PKEY* key = bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr;
    if (!key) throw std::runtime_error("not a private key: " + path.string());
    return SigningKey(key);
}

SigningKey SigningKey::ManifestTestKey() { return FromPemFile(TestKeysFolder() / "manifest_test_key.pem"); }

std::string SigningKey::PublicKeyBase64() const {
    std::vector<uint8_t> raw(32);
    size_t length = raw.size();
    if (EVP_PKEY_get_raw_public_key(key_.get(), raw.data(), &length) != 1 || length != raw.size()) {
        throw std::runtime_error("cannot read the public key");
    }
    return EncodeBase64(raw);
}

std::string SigningKey::SignBase64(std::string_view message) const {
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    std::vector<uint8_t> signature(64);
    size_t length = signature.size();
    static const unsigned char kEmpty = 0;
    const auto* data = message.empty() ? &kEmpty : reinterpret_cast<const unsigned char*>(message.data());
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key_.get()) != 1 ||
        EVP_DigestSign(ctx.get(), signature.data(), &length, data, message.size()) != 1) {
        throw std::runtime_error("Ed25519 signing failed");
    }
    signature.resize(length);
    return EncodeBase64(signature);
}

std::filesystem::path TestKeysFolder() {
    // This file is tests/support/manifest_signing.cpp; the keys live in tests/keys.
    return std::filesystem::path(__FILE__).parent_path().parent_path() / "keys";
}

std::string EncodeBase64(std::span<const uint8_t> bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(),
                                        static_cast<int>(bytes.size()));
    text.resize(static_cast<size_t>(written));
    return text;
}

}  // namespace zuvelo::test
