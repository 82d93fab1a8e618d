// A downloaded executable, as the PE image reader and the Authenticode check see
// it. Neither throws; beyond the sanitizers, what the reader accepts must fit
// the file, and with no trusted root nothing may ever pass the check.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/authenticode.h"
#include "platform/pe_image.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using namespace zuvelo;
using namespace zuvelo::platform;
using fuzz::Require;

struct Harness {
    Harness() {
        fuzz::SilenceEvents();
        // An empty machine root: no code-signing root is trusted.
        ::setenv("ZUVELO_MACHINE_ROOT", (scratch / "machine").c_str(), 1);
    }
    fuzz::ScratchFolder scratch;
};

void CheckSections(int fd, const PeHeaders& headers) {
    std::vector<PeSection> sections;
    if (ReadPeSections(fd, headers, sections) != PeReadResult::Ok) return;
    Require(sections.size() == headers.numberOfSections);
    for (const PeDataDirectory& directory : headers.dataDirectories) {
        if (const auto offset = PeFileOffsetOf(sections, directory.virtualAddress, directory.size)) {
            bool inSection = false;
            for (const PeSection& section : sections) {
                inSection = inSection || (*offset >= section.pointerToRawData &&
                                          *offset + directory.size <= uint64_t{section.pointerToRawData} +
                                                                          section.sizeOfRawData);
            }
            Require(inSection);
        }
    }
}

void CheckCertificateTable(int fd, const PeHeaders& headers) {
    std::vector<unsigned char> certificate;
    if (ReadSignedData(fd, headers, certificate) != CertificateTableResult::Ok) return;
    const PeDataDirectory table = headers.dataDirectories[kPeCertificateDirectory];
    Require(uint64_t{table.virtualAddress} + table.size == headers.fileSize);
    Require(certificate.size() + 8 == table.size);
}

void CheckImageReader(const uint8_t* data, size_t size) {
    const fuzz::MemoryFile file(data, size);
    PeHeaders headers;
    if (ReadPeHeaders(file.fd(), headers) != PeReadResult::Ok) return;
    Require(headers.fileSize == size);
    Require(headers.dataDirectories.size() <= 16);
    Require(headers.sectionTableOffset + headers.numberOfSections * uint64_t{40} <= size);
    CheckSections(file.fd(), headers);
    CheckCertificateTable(file.fd(), headers);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Harness harness;
    CheckImageReader(data, size);
    const std::filesystem::path file = harness.scratch / "download.exe";
    fuzz::WriteInput(file, data, size);
    Require(VerifyAuthenticode(file) != trust::kSuccess);
    return 0;
}
