#include "manifest/crypto_verifier.h"

#include <algorithm>
#include <fstream>
#include <string_view>

#include "common/jsonl_logger.h"
#include "common/text.h"
#include "manifest/base64.h"

namespace zuvelo {

namespace {

constexpr ComponentLogger kLog{"CryptoVerifier"};

std::string_view AsText(std::span<const uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace

CryptoVerifier::CryptoVerifier(const std::vector<std::string>& trustedPublicKeys) {
    kLog.Info("Initializing crypto verifier");
    for (const std::string& key : trustedPublicKeys) {
        if (!key.empty()) AddTrustedKey(key);
    }
}

void CryptoVerifier::AddTrustedKey(const std::string& base64Key) {
    ++configuredKeyCount_;
    const auto raw = DecodeBase64(base64Key);
    if (!raw || raw->size() != kEd25519PublicKeyBytes) {
        kLog.Error("Trusted public key is not base64 of a raw 32-byte Ed25519 key");
        return;
    }
    Ed25519PublicKey key;
    std::copy(raw->begin(), raw->end(), key.begin());
    trustedKeys_.push_back(key);
}

ErrorCode CryptoVerifier::VerifyDetachedSignature(const std::filesystem::path& dataPath,
                                                  const std::filesystem::path& signaturePath) const {
    kLog.Info("Verifying detached Ed25519 signature");
    kLog.Debug("Data file: " + ToUtf8Lossy(dataPath));
    kLog.Debug("Signature file: " + ToUtf8Lossy(signaturePath));

    std::vector<uint8_t> data;
    if (ErrorCode result = ReadFileBytes(dataPath, data); !Succeeded(result)) {
        kLog.Error("Failed to read data file");
        return result;
    }
    std::vector<uint8_t> signatureText;
    if (ErrorCode result = ReadFileBytes(signaturePath, signatureText); !Succeeded(result)) {
        kLog.Error("Failed to read signature file");
        return result;
    }
    if (!HasTrustedKeys()) return ErrorCode::Success;
    return CheckSignature(data, signatureText);
}

ErrorCode CryptoVerifier::CheckSignature(std::span<const uint8_t> data,
                                         std::span<const uint8_t> signatureText) const {
    const auto signature = DecodeBase64(AsText(signatureText));
    if (!signature || signature->size() != kEd25519SignatureBytes) {
        kLog.Error("Signature is not base64 of a 64-byte Ed25519 signature");
        return ErrorCode::SignatureVerificationFailed;
    }
    for (const Ed25519PublicKey& key : trustedKeys_) {
        if (VerifyEd25519(key, data, *signature)) return ErrorCode::Success;
    }
    kLog.Error("Signature does not match any trusted public key");
    return ErrorCode::SignatureVerificationFailed;
}

ErrorCode CryptoVerifier::ReadFileBytes(const std::filesystem::path& path, std::vector<uint8_t>& bytes) {
    bytes.clear();
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) {
        kLog.Error("Failed to open file: " + ToUtf8Lossy(path));
        return ErrorCode::FileNotFound;
    }
    // Read to the end rather than trusting the end position: a folder opens
    // too, and reports a position near 2^63.
    char block[64 * 1024];
    while (in.read(block, sizeof block) || in.gcount() > 0) {
        bytes.insert(bytes.end(), block, block + in.gcount());
    }
    if (in.bad()) {
        bytes.clear();
        kLog.Error("Failed to read file: " + ToUtf8Lossy(path));
        return ErrorCode::InternalError;
    }
    return ErrorCode::Success;
}

}  // namespace zuvelo
