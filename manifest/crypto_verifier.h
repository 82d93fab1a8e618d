#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "common/error_codes.h"
#include "manifest/ed25519.h"

namespace zuvelo {

// Checks detached Ed25519 signatures against the public keys it is given.
class CryptoVerifier {
public:
    // Each key is the base64 of a raw 32-byte Ed25519 public key; empty texts are
    // skipped. A malformed key still counts as configured, so a typo in the
    // build's key list refuses every signature instead of accepting them unchecked.
    explicit CryptoVerifier(const std::vector<std::string>& trustedPublicKeys);

    // Without a configured key nothing can be checked.
    bool HasTrustedKeys() const { return configuredKeyCount_ > 0; }

    // The signature file holds the base64 text of a 64-byte signature over the
    // data file's bytes. Success when any trusted key made it, or when no key is
    // configured (callers tell the two apart with HasTrustedKeys);
    // SignatureVerificationFailed when it does not verify; 141 or 4 when a file
    // cannot be read.
    ErrorCode VerifyDetachedSignature(const std::filesystem::path& dataPath,
                                      const std::filesystem::path& signaturePath) const;

    // Whole file: 141 when it does not open, 4 when it cannot be read.
    static ErrorCode ReadFileBytes(const std::filesystem::path& path, std::vector<uint8_t>& bytes);

private:
    void AddTrustedKey(const std::string& base64Key);
    ErrorCode CheckSignature(std::span<const uint8_t> data, std::span<const uint8_t> signatureText) const;

    std::vector<Ed25519PublicKey> trustedKeys_;
    size_t configuredKeyCount_ = 0;
};

}  // namespace zuvelo
