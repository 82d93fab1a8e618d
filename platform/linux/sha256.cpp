#include "platform/sha256.h"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <new>

namespace zuvelo::platform {

struct Sha256::State {
    EVP_MD* md = nullptr;
    EVP_MD_CTX* ctx = nullptr;

    ~State() {
        EVP_MD_CTX_free(ctx);
        EVP_MD_free(md);
    }
};

namespace {

// OpenSSL's error code of the failed call, or -1 when it left none.
int64_t TakeOpenSslError() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    return code == 0 ? -1 : static_cast<int64_t>(code);
}

}  // namespace

Sha256::Sha256() : state_(new (std::nothrow) State) {
    if (!state_ || !(state_->md = EVP_MD_fetch(nullptr, "SHA256", nullptr))) {
        Fail(Step::OpenAlgorithm, TakeOpenSslError());
        return;
    }
    state_->ctx = EVP_MD_CTX_new();
    if (!state_->ctx || EVP_DigestInit_ex(state_->ctx, state_->md, nullptr) != 1) {
        Fail(Step::CreateHash, TakeOpenSslError());
    }
}

Sha256::~Sha256() = default;

bool Sha256::Update(const void* data, size_t size) {
    if (!Ok()) return false;
    if (size == 0) return true;
    if (EVP_DigestUpdate(state_->ctx, data, size) != 1) {
        Fail(Step::HashData, TakeOpenSslError());
        return false;
    }
    return true;
}

bool Sha256::Finish(std::string& hexOut) {
    if (!Ok()) return false;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(state_->ctx, digest, &length) != 1 || length != 32) {
        Fail(Step::FinishHash, TakeOpenSslError());
        return false;
    }
    hexOut = ToLowerHex(digest, length);
    return true;
}

}  // namespace zuvelo::platform
