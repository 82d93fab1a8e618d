#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// SHA-256 standing in for CNG: OpenSSL EVP, streamed,
// lower-case hex. Never throws.
namespace zuvelo::platform {

class Sha256 {
public:
    // Which step failed, named after the CNG call it stands in for.
    enum class Step { None, OpenAlgorithm, CreateHash, HashData, FinishHash };

    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    // False when setting up failed (see FailedStep).
    bool Ok() const { return failed_ == Step::None; }
    bool Update(const void* data, size_t size);
    // 64 lower-case hex digits; the object can be used once.
    bool Finish(std::string& hexOut);

    Step FailedStep() const { return failed_; }
    // A signed number for messages: OpenSSL's error code, or -1 when it has none.
    int64_t FailureStatus() const { return status_; }

private:
    void Fail(Step step);

    void* md_ = nullptr;   // EVP_MD*
    void* ctx_ = nullptr;  // EVP_MD_CTX*
    Step failed_ = Step::None;
    int64_t status_ = 0;
};

// Two lower-case hex digits per byte.
std::string ToLowerHex(const unsigned char* bytes, size_t size);

// Digest of bytes in memory (tests and small data); empty on failure.
std::string Sha256Hex(const void* data, size_t size);

}  // namespace zuvelo::platform
