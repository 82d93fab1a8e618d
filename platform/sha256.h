#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// SHA-256, streamed, lower-case hex: CNG on Windows, OpenSSL EVP standing in for
// it on Linux. Never throws.
namespace zuvelo::platform {

class Sha256 {
public:
    // Which step failed, named after the CNG call it stands in for.
    // ObjectLength and HashLength are CNG's property reads (BCryptGetProperty).
    enum class Step { None, OpenAlgorithm, ObjectLength, HashLength, CreateHash, HashData, FinishHash };

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
    // A signed number for messages: the NTSTATUS of the CNG call, or OpenSSL's
    // error code (-1 when it has none).
    int64_t FailureStatus() const { return status_; }

private:
    struct State;  // the system's hash objects

    void Fail(Step step, int64_t status);

    std::unique_ptr<State> state_;
    Step failed_ = Step::None;
    int64_t status_ = 0;
};

// Two lower-case hex digits per byte.
std::string ToLowerHex(const unsigned char* bytes, size_t size);

// Digest of bytes in memory (tests and small data); empty on failure.
std::string Sha256Hex(const void* data, size_t size);

}  // namespace zuvelo::platform
