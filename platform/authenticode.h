#pragma once

#include <cstdint>
#include <filesystem>

// The Authenticode check of PE files. On Windows it is WinVerifyTrust on the path
// (no revocation checking) against the machine's trust. On Linux it stands in with
// OpenSSL: the trusted roots are the PEM certificates in trust/code-signing/ under
// the machine root, revocation is not checked, and timestamps are not honoured:
// the signer's chain must be valid now.
namespace zuvelo::platform {

// The WinVerifyTrust results the Linux check gives (Windows may give others).
namespace trust {
inline constexpr int32_t kSuccess = 0;
inline constexpr int32_t kSubjectFormUnknown = static_cast<int32_t>(0x800B0003u);  // TRUST_E_SUBJECT_FORM_UNKNOWN
inline constexpr int32_t kNoSignature = static_cast<int32_t>(0x800B0100u);         // TRUST_E_NOSIGNATURE
inline constexpr int32_t kExpired = static_cast<int32_t>(0x800B0101u);             // CERT_E_EXPIRED
inline constexpr int32_t kUntrustedRoot = static_cast<int32_t>(0x800B0109u);       // CERT_E_UNTRUSTEDROOT
inline constexpr int32_t kFail = static_cast<int32_t>(0x800B010Bu);                // TRUST_E_FAIL
inline constexpr int32_t kBadDigest = static_cast<int32_t>(0x80096010u);           // TRUST_E_BAD_DIGEST
inline constexpr int32_t kFileError = static_cast<int32_t>(0x80092003u);           // CRYPT_E_FILE_ERROR
}  // namespace trust

// Checks the file's Authenticode signature: the image digest against the signed
// one, the signer's signature, and the signer's chain to a trusted root with the
// code-signing usage. Returns trust::kSuccess or the failure's WinVerifyTrust
// number. On Linux the file is opened once, a link not followed, and read in
// pieces: a file that cannot be opened or read (a link, a folder) gives
// kFileError, a file that is no PE image kSubjectFormUnknown, malformed signature
// data kFail.
int32_t VerifyAuthenticode(const std::filesystem::path& file);

}  // namespace zuvelo::platform
