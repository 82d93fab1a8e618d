#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#include "tests/support/test_certificates.h"

// Executables for signature tests, made at test time: a tiny PE image, signed
// with osslsigncode.
namespace zuvelo::test {

// A tiny valid PE image: headers and one code section. PE32+ for x64, or PE32 for x86.
std::string TinyPeImage(bool pe32Plus = true);
// File offset of the code section's bytes in a TinyPeImage.
inline constexpr size_t kTinyPeSectionOffset = 0x200;

// Signing works here: osslsigncode is a Linux tool, which on Windows only Wine can run.
bool CanSignPeImages();

// The image with an Authenticode signature by signer over its digest ("sha256", "sha1").
std::string SignPeImage(const std::string& image, const TestIdentity& signer, const std::string& digest = "sha256");

// Makes root a trusted code-signing root of the machine root.
void TrustCodeSigningRoot(const std::filesystem::path& machineRoot, const TestIdentity& root);

}  // namespace zuvelo::test
