#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace zuvelo {

inline constexpr size_t kEd25519PublicKeyBytes = 32;
inline constexpr size_t kEd25519SignatureBytes = 64;

using Ed25519PublicKey = std::array<uint8_t, kEd25519PublicKeyBytes>;

// True only when signature is a valid Ed25519 signature of message by key.
bool VerifyEd25519(const Ed25519PublicKey& key, std::span<const uint8_t> message,
                   std::span<const uint8_t> signature);

}  // namespace zuvelo
