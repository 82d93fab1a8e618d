#include "platform/authenticode.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>

#include "tests/support/signed_executables.h"
#include "tests/support/test_folders.h"

namespace zuvelo::platform {
namespace {

namespace fs = std::filesystem;
using test::CertificateUse;
using test::MakeTestIdentity;
using test::SignPeImage;
using test::TestIdentity;
using test::TinyPeImage;

constexpr long kDay = 24L * 3600;
// The certificate table's directory entry of a PE32+ TinyPeImage.
constexpr size_t kCertificateEntry = 0x40 + 24 + 112 + 4 * 8;

// One trusted root and the signers a test can pick from.
struct Signers {
    TestIdentity trustedRoot = MakeTestIdentity({"Trusted Code Signing Root"});
    TestIdentity trusted = MakeTestIdentity({"Publisher", CertificateUse::CodeSigning}, &trustedRoot);
    TestIdentity expired =
        MakeTestIdentity({"Old Publisher", CertificateUse::CodeSigning, -30 * kDay, -kDay}, &trustedRoot);
    TestIdentity serverOnly = MakeTestIdentity({"Web Server", CertificateUse::TlsServer}, &trustedRoot);
    TestIdentity unknownRoot = MakeTestIdentity({"Unknown Root"});
    TestIdentity untrusted = MakeTestIdentity({"Stranger", CertificateUse::CodeSigning}, &unknownRoot);
};

const Signers& TestSigners() {
    static const Signers signers;
    return signers;
}

std::string Signed(const TestIdentity& signer) { return SignPeImage(TinyPeImage(), signer); }

void AddTo32(std::string& bytes, size_t at, uint32_t amount) {  // a little-endian field on a little-endian host
    uint32_t value = 0;
    std::memcpy(&value, &bytes[at], 4);
    value += amount;
    std::memcpy(&bytes[at], &value, 4);
}

// Bytes hidden after the signature inside its certificate entry, the table's
// directory size and the entry's length grown to match.
std::string WithDataInTheCertificateEntry(std::string image) {
    uint32_t table = 0;
    std::memcpy(&table, &image[kCertificateEntry], 4);
    AddTo32(image, kCertificateEntry + 4, 8);
    AddTo32(image, table, 8);
    return image + "hidden!!";
}

const std::string kSha256Oid("\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x01", 11);
const std::string kSha1Oid("\x06\x05\x2b\x0e\x03\x02\x1a", 7);

// The SignedData's list of digest algorithms names another algorithm in place of
// `digest` (its first identifier in the signature is that list's); the last byte
// of the identifier becomes `last`.
std::string WithDigestListed(std::string image, const std::string& digest, char last) {
    const size_t at = image.find(digest, test::kTinyPeSectionOffset);
    if (at == std::string::npos) throw std::runtime_error("no such digest identifier in the signature");
    image[at + digest.size() - 1] = last;
    return image;
}

// What a case needs besides the check. MalformedSignature: the number the Linux check
// chose for signature data it cannot read.
enum class Needs { Nothing, Signing, TrustedChain, MalformedSignature };

struct SignatureCase {
    const char* name;
    std::function<std::string(const Signers&)> file;
    int32_t expected;
    Needs needs = Needs::Signing;
    bool throughLink = false;  // the file is reached through a symbolic link
};

void PrintTo(const SignatureCase& c, std::ostream* out) { *out << c.name; }

// Why the case cannot run here; empty when it can.
std::string WhyNotHere(const SignatureCase& c) {
#ifdef _WIN32
    if (c.throughLink) return "only the Linux check refuses links: WinVerifyTrust checks the path it is given";
    if (c.needs == Needs::TrustedChain) {
        return "on Windows the signer's chain is judged by the machine's trust, which tests leave alone "
               "(and Wine's WinVerifyTrust does not check chains)";
    }
    if (c.needs == Needs::MalformedSignature) {
        return "WinVerifyTrust has numbers of its own for malformed signature data (Wine's differ again)";
    }
#endif
    if (c.needs != Needs::Nothing && !test::CanSignPeImages()) return "signing needs osslsigncode, a Linux tool";
    return {};
}

class AuthenticodeTest : public testing::TestWithParam<SignatureCase> {};

TEST_P(AuthenticodeTest, GivesTheWinVerifyTrustResult) {
    if (const std::string why = WhyNotHere(GetParam()); !why.empty()) GTEST_SKIP() << why;
    test::ScopedMachineRoot machineRoot;
    test::TrustCodeSigningRoot(machineRoot.path(), TestSigners().trustedRoot);
    test::TempFolder temp;
    const fs::path file = temp / "tool.exe";
    const fs::path written = GetParam().throughLink ? temp / "real.exe" : file;
    test::WriteFile(written, GetParam().file(TestSigners()));
    if (GetParam().throughLink) fs::create_symlink(written, file);

    EXPECT_EQ(VerifyAuthenticode(file), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Files, AuthenticodeTest,
    testing::Values(
        SignatureCase{"SignedByATrustedRoot_Success", [](const Signers& s) { return Signed(s.trusted); },
                      trust::kSuccess, Needs::TrustedChain},
        SignatureCase{"Pe32ImageWithSha1Digest_Success",
                      [](const Signers& s) { return SignPeImage(TinyPeImage(false), s.trusted, "sha1"); },
                      trust::kSuccess, Needs::TrustedChain},
        SignatureCase{"NoSignature_TrustENoSignature", [](const Signers&) { return TinyPeImage(); },
                      trust::kNoSignature, Needs::Nothing},
        SignatureCase{"SectionByteChangedAfterSigning_TrustEBadDigest",
                      [](const Signers& s) {
                          std::string image = Signed(s.trusted);
                          image[test::kTinyPeSectionOffset + 1] ^= 0x5a;
                          return image;
                      },
                      trust::kBadDigest},
        SignatureCase{"RootNotInTheStore_CertEUntrustedRoot", [](const Signers& s) { return Signed(s.untrusted); },
                      trust::kUntrustedRoot, Needs::TrustedChain},
        SignatureCase{"ExpiredSigningCertificate_CertEExpired", [](const Signers& s) { return Signed(s.expired); },
                      trust::kExpired, Needs::TrustedChain},
        SignatureCase{"SignerNotForCodeSigning_TrustEFail", [](const Signers& s) { return Signed(s.serverOnly); },
                      trust::kFail, Needs::TrustedChain},
        SignatureCase{"TextFile_TrustESubjectFormUnknown", [](const Signers&) { return std::string("hello\n"); },
                      trust::kSubjectFormUnknown, Needs::Nothing},
        SignatureCase{"TruncatedCertificateTable_TrustEFail",
                      [](const Signers& s) {
                          const std::string image = Signed(s.trusted);
                          return image.substr(0, image.size() - 100);
                      },
                      trust::kFail, Needs::MalformedSignature},
        SignatureCase{"DataAfterTheCertificateTable_TrustEFail",
                      [](const Signers& s) { return Signed(s.trusted) + "appended"; }, trust::kFail,
                      Needs::MalformedSignature},
        SignatureCase{"DataHiddenInTheCertificateEntry_TrustEFail",
                      [](const Signers& s) { return WithDataInTheCertificateEntry(Signed(s.trusted)); },
                      trust::kFail, Needs::MalformedSignature},
        SignatureCase{"UnknownDigestAlgorithmListed_TrustEFail",
                      [](const Signers& s) { return WithDigestListed(Signed(s.trusted), kSha256Oid, '\x7f'); },
                      trust::kFail, Needs::MalformedSignature},
        SignatureCase{"SignatureAlgorithmListedAsADigest_TrustEFail",
                      [](const Signers& s) {
                          // sha1WithRSA (1.3.14.3.2.29) in place of sha1
                          return WithDigestListed(SignPeImage(TinyPeImage(false), s.trusted, "sha1"), kSha1Oid, '\x1d');
                      },
                      trust::kFail, Needs::MalformedSignature},
        SignatureCase{"EmptyFile_TrustESubjectFormUnknown", [](const Signers&) { return std::string(); },
                      trust::kSubjectFormUnknown, Needs::Nothing},
        SignatureCase{"SignedFileReachedThroughALink_CryptEFileError",
                      [](const Signers& s) { return Signed(s.trusted); }, trust::kFileError, Needs::Signing, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zuvelo::platform
