#include "platform/pe_image.h"

#include <algorithm>

#include "platform/file_io.h"

namespace zuvelo::platform {

namespace {

constexpr uint64_t kDosHeaderSize = 64;
constexpr uint64_t kNewHeaderField = 0x3c;  // e_lfanew
constexpr uint64_t kSignatureAndFileHeaderSize = 4 + 20;
constexpr uint16_t kPe32Magic = 0x10b;
constexpr uint16_t kPe32PlusMagic = 0x20b;
constexpr uint64_t kChecksumField = 64;  // the same place in PE32 and PE32+
constexpr uint64_t kMaxDataDirectories = 16;
constexpr uint64_t kLargestOptionalHeader = 112 + kMaxDataDirectories * 8;
constexpr uint64_t kSectionHeaderSize = 40;

constexpr uint64_t kWinCertificateHeaderSize = 8;
constexpr uint16_t kWinCertificateRevision2 = 0x0200;
constexpr uint16_t kWinCertificateTypePkcsSignedData = 0x0002;
// Far above any real signature; keeps a hostile table from claiming the memory.
constexpr uint64_t kMaxCertificateTableSize = 16ull * 1024 * 1024;

enum class Got { All, Short, Failed };

Got ReadExactly(int fd, uint64_t offset, void* buffer, size_t size) {
    size_t got = 0;
    if (ReadAt(fd, buffer, size, offset, got) != 0) return Got::Failed;
    return got == size ? Got::All : Got::Short;
}

PeReadResult HeaderResult(Got got) { return got == Got::Failed ? PeReadResult::ReadFailed : PeReadResult::NotPe; }

// Where NumberOfRvaAndSizes and the directories sit in the optional header.
struct OptionalHeaderLayout {
    uint64_t directoryCountField;
    uint64_t directories;
};

constexpr OptionalHeaderLayout kPe32Layout{92, 96};
constexpr OptionalHeaderLayout kPe32PlusLayout{108, 112};

PeReadResult ReadOptionalHeader(int fd, uint64_t offset, uint16_t declaredSize, PeHeaders& out) {
    unsigned char header[kLargestOptionalHeader] = {};
    const size_t size = std::min<size_t>(declaredSize, sizeof header);
    if (size < 2) return PeReadResult::NotPe;
    if (const Got got = ReadExactly(fd, offset, header, size); got != Got::All) return HeaderResult(got);

    const uint16_t magic = PeLe16(header);
    if (magic != kPe32Magic && magic != kPe32PlusMagic) return PeReadResult::NotPe;
    out.pe32Plus = magic == kPe32PlusMagic;
    const OptionalHeaderLayout layout = out.pe32Plus ? kPe32PlusLayout : kPe32Layout;
    if (size < layout.directories) return PeReadResult::NotPe;

    const uint64_t count = std::min<uint64_t>(PeLe32(header + layout.directoryCountField), kMaxDataDirectories);
    if (layout.directories + count * 8 > size) return PeReadResult::NotPe;
    out.checksumOffset = offset + kChecksumField;
    out.dataDirectoryOffset = offset + layout.directories;
    out.dataDirectories.clear();
    for (uint64_t i = 0; i < count; ++i) {
        const unsigned char* entry = header + layout.directories + i * 8;
        out.dataDirectories.push_back({PeLe32(entry), PeLe32(entry + 4)});
    }
    return PeReadResult::Ok;
}

uint64_t AlignTo8(uint64_t value) { return (value + 7) & ~uint64_t{7}; }

}  // namespace

PeReadResult ReadPeHeaders(int fd, PeHeaders& out) {
    FileStat stat;
    if (StatFd(fd, stat) != 0) return PeReadResult::ReadFailed;
    out.fileSize = stat.size;

    unsigned char dos[kDosHeaderSize];
    if (const Got got = ReadExactly(fd, 0, dos, sizeof dos); got != Got::All) return HeaderResult(got);
    if (dos[0] != 'M' || dos[1] != 'Z') return PeReadResult::NotPe;

    const uint64_t peOffset = PeLe32(dos + kNewHeaderField);
    unsigned char pe[kSignatureAndFileHeaderSize];
    if (const Got got = ReadExactly(fd, peOffset, pe, sizeof pe); got != Got::All) return HeaderResult(got);
    if (pe[0] != 'P' || pe[1] != 'E' || pe[2] != 0 || pe[3] != 0) return PeReadResult::NotPe;

    out.machine = PeLe16(pe + 4);
    out.numberOfSections = PeLe16(pe + 6);
    const uint16_t optionalHeaderSize = PeLe16(pe + 20);
    const uint64_t optionalHeaderOffset = peOffset + sizeof pe;
    out.sectionTableOffset = optionalHeaderOffset + optionalHeaderSize;
    if (out.sectionTableOffset + out.numberOfSections * kSectionHeaderSize > out.fileSize) return PeReadResult::NotPe;
    return ReadOptionalHeader(fd, optionalHeaderOffset, optionalHeaderSize, out);
}

PeReadResult ReadPeSections(int fd, const PeHeaders& headers, std::vector<PeSection>& out) {
    out.clear();
    for (uint64_t i = 0; i < headers.numberOfSections; ++i) {
        unsigned char header[kSectionHeaderSize];
        const Got got = ReadExactly(fd, headers.sectionTableOffset + i * kSectionHeaderSize, header, sizeof header);
        if (got != Got::All) return HeaderResult(got);
        out.push_back({PeLe32(header + 12), PeLe32(header + 8), PeLe32(header + 16), PeLe32(header + 20)});
    }
    return PeReadResult::Ok;
}

std::optional<uint64_t> PeFileOffsetOf(const std::vector<PeSection>& sections, uint32_t rva, uint32_t size) {
    for (const PeSection& section : sections) {
        if (rva < section.virtualAddress) continue;
        const uint64_t within = rva - section.virtualAddress;
        if (within + size <= section.sizeOfRawData) return uint64_t{section.pointerToRawData} + within;
    }
    return std::nullopt;
}

CertificateTableResult ReadSignedData(int fd, const PeHeaders& headers, std::vector<unsigned char>& certificate) {
    if (headers.dataDirectories.size() <= kPeCertificateDirectory) return CertificateTableResult::NoTable;
    const PeDataDirectory table = headers.dataDirectories[kPeCertificateDirectory];
    if (table.virtualAddress == 0 && table.size == 0) return CertificateTableResult::NoTable;

    const uint64_t headersEnd = headers.DirectoryEntryOffset(headers.dataDirectories.size());
    if (table.virtualAddress < headersEnd || table.size <= kWinCertificateHeaderSize ||
        table.size > kMaxCertificateTableSize || uint64_t{table.virtualAddress} + table.size != headers.fileSize) {
        return CertificateTableResult::Malformed;
    }

    unsigned char entry[kWinCertificateHeaderSize];
    if (const Got got = ReadExactly(fd, table.virtualAddress, entry, sizeof entry); got != Got::All) {
        return got == Got::Failed ? CertificateTableResult::ReadFailed : CertificateTableResult::Malformed;
    }
    const uint32_t length = PeLe32(entry);
    if (PeLe16(entry + 4) != kWinCertificateRevision2 || PeLe16(entry + 6) != kWinCertificateTypePkcsSignedData) {
        return CertificateTableResult::NotSignedData;
    }
    if (length <= kWinCertificateHeaderSize || AlignTo8(length) != table.size) return CertificateTableResult::Malformed;

    certificate.resize(table.size - kWinCertificateHeaderSize);
    const Got got = ReadExactly(fd, table.virtualAddress + kWinCertificateHeaderSize, certificate.data(),
                                certificate.size());
    if (got == Got::All) return CertificateTableResult::Ok;
    return got == Got::Failed ? CertificateTableResult::ReadFailed : CertificateTableResult::Malformed;
}

}  // namespace zuvelo::platform
