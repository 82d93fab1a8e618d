#include "platform/sha256.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <climits>
#include <new>

namespace zuvelo::platform {

namespace {
constexpr NTSTATUS kNoMemory = static_cast<NTSTATUS>(0xC0000017L);  // STATUS_NO_MEMORY
constexpr DWORD kDigestLength = 32;
}  // namespace

struct Sha256::State {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    std::unique_ptr<UCHAR[]> object;  // CNG's hash object, ours to allocate

    ~State() {
        if (hash) ::BCryptDestroyHash(hash);
        if (algorithm) ::BCryptCloseAlgorithmProvider(algorithm, 0);
    }
};

namespace {

NTSTATUS ReadLength(BCRYPT_ALG_HANDLE algorithm, const wchar_t* property, DWORD& out) {
    ULONG written = 0;
    return ::BCryptGetProperty(algorithm, property, reinterpret_cast<PUCHAR>(&out), sizeof(out), &written, 0);
}

}  // namespace

Sha256::Sha256() : state_(new (std::nothrow) State) {
    if (!state_) {
        Fail(Step::OpenAlgorithm, kNoMemory);
        return;
    }
    NTSTATUS status = ::BCryptOpenAlgorithmProvider(&state_->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    if (!BCRYPT_SUCCESS(status)) {
        state_->algorithm = nullptr;
        Fail(Step::OpenAlgorithm, status);
        return;
    }
    DWORD objectLength = 0;
    DWORD digestLength = 0;
    if (status = ReadLength(state_->algorithm, BCRYPT_OBJECT_LENGTH, objectLength); !BCRYPT_SUCCESS(status)) {
        Fail(Step::ObjectLength, status);
        return;
    }
    if (status = ReadLength(state_->algorithm, BCRYPT_HASH_LENGTH, digestLength);
        !BCRYPT_SUCCESS(status) || digestLength != kDigestLength) {
        Fail(Step::HashLength, BCRYPT_SUCCESS(status) ? -1 : status);
        return;
    }
    state_->object.reset(new (std::nothrow) UCHAR[objectLength]);
    if (!state_->object) {
        Fail(Step::CreateHash, kNoMemory);
        return;
    }
    status = ::BCryptCreateHash(state_->algorithm, &state_->hash, state_->object.get(), objectLength, nullptr, 0, 0);
    if (!BCRYPT_SUCCESS(status)) Fail(Step::CreateHash, status);
}

Sha256::~Sha256() = default;

bool Sha256::Update(const void* data, size_t size) {
    if (!Ok()) return false;
    auto* bytes = static_cast<UCHAR*>(const_cast<void*>(data));  // CNG only reads the input
    while (size > 0) {
        const ULONG piece = static_cast<ULONG>(std::min<size_t>(size, ULONG_MAX));
        if (const NTSTATUS status = ::BCryptHashData(state_->hash, bytes, piece, 0); !BCRYPT_SUCCESS(status)) {
            Fail(Step::HashData, status);
            return false;
        }
        bytes += piece;
        size -= piece;
    }
    return true;
}

bool Sha256::Finish(std::string& hexOut) {
    if (!Ok()) return false;
    UCHAR digest[kDigestLength];
    if (const NTSTATUS status = ::BCryptFinishHash(state_->hash, digest, kDigestLength, 0); !BCRYPT_SUCCESS(status)) {
        Fail(Step::FinishHash, status);
        return false;
    }
    hexOut = ToLowerHex(digest, kDigestLength);
    return true;
}

}  // namespace zuvelo::platform
