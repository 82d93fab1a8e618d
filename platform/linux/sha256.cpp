#include "platform/sha256.h"

#include <openssl/err.h>
#include <openssl/evp.h>

namespace zuvelo::platform {

namespace {
EVP_MD* Md(void* p) { return static_cast<EVP_MD*>(p); }
EVP_MD_CTX* Ctx(void* p) { return static_cast<EVP_MD_CTX*>(p); }
}  // namespace

Sha256::Sha256() {
    md_ = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    if (!md_) {
        Fail(Step::OpenAlgorithm);
        return;
    }
    ctx_ = EVP_MD_CTX_new();
    if (!ctx_ || EVP_DigestInit_ex(Ctx(ctx_), Md(md_), nullptr) != 1) Fail(Step::CreateHash);
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(Ctx(ctx_));
    EVP_MD_free(Md(md_));
}

void Sha256::Fail(Step step) {
    failed_ = step;
    const unsigned long code = ERR_get_error();
    status_ = code == 0 ? -1 : static_cast<int64_t>(code);
    ERR_clear_error();
}

bool Sha256::Update(const void* data, size_t size) {
    if (!Ok()) return false;
    if (size == 0) return true;
    if (EVP_DigestUpdate(Ctx(ctx_), data, size) != 1) {
        Fail(Step::HashData);
        return false;
    }
    return true;
}

bool Sha256::Finish(std::string& hexOut) {
    if (!Ok()) return false;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(Ctx(ctx_), digest, &length) != 1 || length != 32) {
        Fail(Step::FinishHash);
        return false;
    }
    hexOut = ToLowerHex(digest, length);
    return true;
}

std::string ToLowerHex(const unsigned char* bytes, size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        hex.push_back(kDigits[bytes[i] >> 4]);
        hex.push_back(kDigits[bytes[i] & 0x0f]);
    }
    return hex;
}

std::string Sha256Hex(const void* data, size_t size) {
    Sha256 hash;
    std::string hex;
    if (!hash.Update(data, size) || !hash.Finish(hex)) return {};
    return hex;
}

}  // namespace zuvelo::platform
