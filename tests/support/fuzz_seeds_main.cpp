// Writes the binary seeds of the fuzz programs: executables made as the tests
// make them, which are not committed.
//   zuvelo_fuzz_seeds DIR
// DIR/authenticode_fuzz receives tiny PE images (PE32+ and PE32), the first also
// signed over SHA-256 and over SHA-1; DIR/file_version_fuzz images with and
// without a version resource.
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <string>

#include "tests/support/signed_executables.h"
#include "tests/support/test_certificates.h"
#include "tests/support/test_folders.h"
#include "tests/support/versioned_executables.h"

namespace {

namespace fs = std::filesystem;
using namespace zuvelo::test;

void WriteAuthenticodeSeeds(const fs::path& folder) {
    WriteFile(folder / "pe32plus.exe", TinyPeImage(true));
    WriteFile(folder / "pe32.exe", TinyPeImage(false));
    const TestIdentity root = MakeTestIdentity({"Code Signing Root"});
    const TestIdentity publisher = MakeTestIdentity({"Publisher", CertificateUse::CodeSigning}, &root);
    WriteFile(folder / "signed-sha256.exe", SignPeImage(TinyPeImage(true), publisher, "sha256"));
    WriteFile(folder / "signed-sha1.exe", SignPeImage(TinyPeImage(false), publisher, "sha1"));
}

void WriteFileVersionSeeds(const fs::path& folder) {
    WriteFile(folder / "versioned.exe", PeImageWithVersion(FixedVersionBlock(14, 30, 30704, 0)));
    WriteFile(folder / "unversioned.exe", TinyPeImage(true));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: zuvelo_fuzz_seeds DIR\n";
        return 2;
    }
    try {
        const fs::path root = argv[1];
        WriteAuthenticodeSeeds(root / "authenticode_fuzz");
        WriteFileVersionSeeds(root / "file_version_fuzz");
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "zuvelo_fuzz_seeds: " << e.what() << "\n";
        return 1;
    }
}
