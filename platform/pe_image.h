#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

// The headers of a PE image (DOS header, PE signature, file header, the optional
// header of PE32 or PE32+ with its data directories) and its certificate table,
// read at offsets through a descriptor the caller holds: never the whole file.
namespace zuvelo::platform {

struct PeDataDirectory {
    uint32_t virtualAddress = 0;  // the certificate table's is a file offset
    uint32_t size = 0;
};

// Indexes of the resource and certificate tables among the data directories.
inline constexpr size_t kPeResourceDirectory = 2;
inline constexpr size_t kPeCertificateDirectory = 4;

// Little-endian fields of the image.
inline uint16_t PeLe16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t PeLe32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

struct PeHeaders {
    uint64_t fileSize = 0;
    bool pe32Plus = false;
    uint16_t machine = 0;
    uint16_t numberOfSections = 0;
    uint64_t sectionTableOffset = 0;   // file offset of the first section header
    uint64_t checksumOffset = 0;       // file offset of the optional header's CheckSum
    uint64_t dataDirectoryOffset = 0;  // file offset of the first data directory entry
    std::vector<PeDataDirectory> dataDirectories;  // NumberOfRvaAndSizes entries, at most 16

    // File offset of the data directory entry at index.
    uint64_t DirectoryEntryOffset(size_t index) const { return dataDirectoryOffset + 8 * index; }
};

// One section header: where its bytes lie in the image and in the file.
struct PeSection {
    uint32_t virtualAddress = 0;
    uint32_t virtualSize = 0;
    uint32_t sizeOfRawData = 0;
    uint32_t pointerToRawData = 0;
};

enum class PeReadResult { Ok, NotPe, ReadFailed };

// Reads the headers of the file open as fd. NotPe: a signature or magic that no
// PE image has, or headers (the section table included) that the file cannot hold.
PeReadResult ReadPeHeaders(int fd, PeHeaders& out);

// Reads the section table the headers describe.
PeReadResult ReadPeSections(int fd, const PeHeaders& headers, std::vector<PeSection>& out);

// The file offset of the size bytes at the relative virtual address rva, when
// the file data of one section holds all of them.
std::optional<uint64_t> PeFileOffsetOf(const std::vector<PeSection>& sections, uint32_t rva, uint32_t size);

enum class CertificateTableResult {
    Ok,
    NoTable,        // no certificate table
    NotSignedData,  // its entry is not WIN_CERTIFICATE revision 2.0 of type PKCS_SIGNED_DATA
    Malformed,      // outside the file, not at its end, cut short, or more than one entry
    ReadFailed,
};

// Reads the certificate of the certificate table's one entry (after its 8-byte
// WIN_CERTIFICATE header, with the padding to 8 bytes that ends the entry).
// The table must follow the headers and end where the file ends.
CertificateTableResult ReadSignedData(int fd, const PeHeaders& headers, std::vector<unsigned char>& certificate);

}  // namespace zuvelo::platform
