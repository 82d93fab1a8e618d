#include "manifest/ed25519.h"

#include <memory>

#include <openssl/err.h>
#include <openssl/evp.h>

namespace zuvelo {

namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

bool VerifyWithOpenSsl(const Ed25519PublicKey& key, std::span<const uint8_t> message,
                       std::span<const uint8_t> signature) {
    PkeyPtr pkey(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.data(), key.size()));
    MdCtxPtr ctx(EVP_MD_CTX_new());
    if (!pkey || !ctx) return false;
    if (EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, pkey.get()) != 1) return false;
    // OpenSSL wants a real pointer even for an empty message.
    static const uint8_t kEmpty = 0;
    const uint8_t* data = message.empty() ? &kEmpty : message.data();
    return EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), data, message.size()) == 1;
}

}  // namespace

bool VerifyEd25519(const Ed25519PublicKey& key, std::span<const uint8_t> message,
                   std::span<const uint8_t> signature) {
    if (signature.size() != kEd25519SignatureBytes) return false;
    const bool valid = VerifyWithOpenSsl(key, message, signature);
    // A refused signature leaves entries on the thread's error queue.
    if (!valid) ERR_clear_error();
    return valid;
}

}  // namespace zuvelo
