#include "tests/support/signed_executables.h"

#include <cstdint>
#include <stdexcept>

#include "tests/support/program_runner.h"
#include "tests/support/test_folders.h"

namespace zuvelo::test {

namespace {

constexpr size_t kImageSize = 0x400;
constexpr size_t kPeHeader = 0x40;

void PutLe(std::string& image, size_t at, uint64_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) image[at + i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

}  // namespace

std::string TinyPeImage(bool pe32Plus) {
    std::string image(kImageSize, '\0');
    const auto put16 = [&](size_t at, uint64_t value) { PutLe(image, at, value, 2); };
    const auto put32 = [&](size_t at, uint64_t value) { PutLe(image, at, value, 4); };
    const size_t word = pe32Plus ? 8 : 4;  // the width of the image base and the stack and heap sizes

    image.replace(0, 2, "MZ");
    put32(0x3c, kPeHeader);
    image.replace(kPeHeader, 4, std::string("PE\0\0", 4));
    const size_t optionalSize = pe32Plus ? 240 : 224;
    put16(kPeHeader + 4, pe32Plus ? 0x8664 : 0x14c);  // machine
    put16(kPeHeader + 6, 1);                          // sections
    put16(kPeHeader + 20, optionalSize);
    put16(kPeHeader + 22, pe32Plus ? 0x22 : 0x102);  // executable image

    const size_t optional = kPeHeader + 24;
    put16(optional, pe32Plus ? 0x20b : 0x10b);
    put32(optional + 4, 0x200);                  // size of code
    put32(optional + 16, 0x1000);                // entry point
    put32(optional + 20, 0x1000);                // base of code
    put32(optional + 32, 0x1000);                // section alignment
    put32(optional + 36, 0x200);                 // file alignment
    put16(optional + 40, 6);                     // operating system version
    put16(optional + 48, 6);                     // subsystem version
    put32(optional + 56, 0x2000);                // size of image
    put32(optional + 60, kTinyPeSectionOffset);  // size of headers
    put16(optional + 68, 3);                     // console subsystem
    put32(optional + (pe32Plus ? 108 : 92), 16);  // data directories
    // Image base, then stack and heap sizes (reserve, commit).
    PutLe(image, optional + (pe32Plus ? 24 : 28), pe32Plus ? 0x140000000 : 0x400000, word);
    for (size_t i = 0; i < 4; ++i) PutLe(image, optional + 72 + i * word, i % 2 ? 0x1000 : 0x100000, word);

    const size_t section = optional + optionalSize;
    image.replace(section, 5, ".text");
    put32(section + 8, 1);                      // virtual size
    put32(section + 12, 0x1000);                // virtual address
    put32(section + 16, 0x200);                 // size of raw data
    put32(section + 20, kTinyPeSectionOffset);  // pointer to raw data
    put32(section + 36, 0x60000020);            // code, execute, read
    image[kTinyPeSectionOffset] = '\xc3';       // ret
    return image;
}

std::string SignPeImage(const std::string& image, const TestIdentity& signer, const std::string& digest) {
    TempFolder work;
    WriteFile(work / "in.exe", image);
    WriteFile(work / "signer.pem", signer.certificatePem);
    WriteFile(work / "signer.key", signer.keyPem);
    const ProgramResult result =
        RunProgram("/usr/bin/osslsigncode", {"sign", "-certs", (work / "signer.pem").string(), "-key",
                                             (work / "signer.key").string(), "-h", digest, "-in",
                                             (work / "in.exe").string(), "-out", (work / "out.exe").string()});
    if (result.exitCode != 0) throw std::runtime_error("osslsigncode failed: " + result.out + result.err);
    return ReadFile(work / "out.exe");
}

void TrustCodeSigningRoot(const std::filesystem::path& machineRoot, const TestIdentity& root) {
    WriteFile(machineRoot / "trust" / "code-signing" / "root.pem", root.certificatePem);
}

}  // namespace zuvelo::test
