#include "platform/file_version.h"

#include <optional>

#include "platform/file_io.h"
#include "platform/pe_image.h"
#include "platform/win32_error.h"

namespace zuvelo::platform {

namespace {

constexpr uint32_t kVersionResourceType = 16;  // RT_VERSION
constexpr uint32_t kSubdirectoryBit = 0x80000000;
constexpr uint64_t kDirectoryHeaderSize = 16;
constexpr uint64_t kDirectoryEntrySize = 8;
constexpr uint64_t kDataEntrySize = 16;
// Far above any real version block; keeps a hostile entry from claiming the memory.
constexpr uint32_t kMaxVersionResourceSize = 1024 * 1024;

constexpr uint32_t kFixedFileInfoSignature = 0xFEEF04BD;
constexpr size_t kFixedFileInfoSize = 52;
constexpr char16_t kVersionInfoKey[] = u"VS_VERSION_INFO";
constexpr size_t kVersionKeyOffset = 6;                                 // after wLength, wValueLength, wType
constexpr size_t kVersionKeyBytes = sizeof kVersionInfoKey;             // with its NUL
constexpr size_t kFixedInfoOffset = (kVersionKeyOffset + kVersionKeyBytes + 3) & ~size_t{3};

// The resource directory: reads that must stay inside it, at offsets relative to its start.
class ResourceDirectory {
public:
    ResourceDirectory(int fd, uint64_t fileOffset, uint32_t size) : fd_(fd), fileOffset_(fileOffset), size_(size) {}

    // 0, 1813 when the bytes lie outside the directory or the file, or 30.
    uint32_t Read(uint64_t offset, void* buffer, size_t size) const {
        if (offset + size > size_) return win32::kResourceTypeNotFound;
        size_t got = 0;
        if (ReadAt(fd_, buffer, size, fileOffset_ + offset, got) != 0) return win32::kReadFault;
        return got == size ? 0 : win32::kResourceTypeNotFound;
    }

    // The target of the first entry of the directory at offset (the entry with
    // the ID wanted, when one is given), and whether it is a subdirectory.
    uint32_t Entry(uint64_t offset, std::optional<uint32_t> wantedId, uint32_t& target, bool& subdirectory) const {
        unsigned char header[kDirectoryHeaderSize];
        if (const uint32_t err = Read(offset, header, sizeof header)) return err;
        const uint32_t count = uint32_t{PeLe16(header + 12)} + PeLe16(header + 14);
        for (uint32_t i = 0; i < count; ++i) {
            unsigned char entry[kDirectoryEntrySize];
            if (const uint32_t err = Read(offset + sizeof header + i * kDirectoryEntrySize, entry, sizeof entry)) {
                return err;
            }
            if (wantedId && PeLe32(entry) != *wantedId) continue;
            target = PeLe32(entry + 4) & ~kSubdirectoryBit;
            subdirectory = (PeLe32(entry + 4) & kSubdirectoryBit) != 0;
            return 0;
        }
        return win32::kResourceTypeNotFound;
    }

private:
    int fd_;
    uint64_t fileOffset_;
    uint32_t size_;
};

uint32_t HeaderError(PeReadResult result) {
    return result == PeReadResult::NotPe ? win32::kBadExeFormat : win32::kReadFault;
}

// Type, name, language: two subdirectories, then a data entry; its RVA and size.
uint32_t WalkToVersionData(const ResourceDirectory& directory, uint32_t& rva, uint32_t& size) {
    uint32_t offset = 0;
    bool subdirectory = false;
    if (const uint32_t err = directory.Entry(0, kVersionResourceType, offset, subdirectory)) return err;
    for (int level = 0; level < 2; ++level) {
        if (!subdirectory) return win32::kResourceTypeNotFound;
        if (const uint32_t err = directory.Entry(offset, std::nullopt, offset, subdirectory)) return err;
    }
    if (subdirectory) return win32::kResourceTypeNotFound;
    unsigned char data[kDataEntrySize];
    if (const uint32_t err = directory.Read(offset, data, sizeof data)) return err;
    rva = PeLe32(data);
    size = PeLe32(data + 4);
    return 0;
}

}  // namespace

uint32_t FindVersionResource(int fd, VersionResource& out) {
    PeHeaders headers;
    std::vector<PeSection> sections;
    if (const PeReadResult result = ReadPeHeaders(fd, headers); result != PeReadResult::Ok) return HeaderError(result);
    if (const PeReadResult result = ReadPeSections(fd, headers, sections); result != PeReadResult::Ok) {
        return HeaderError(result);
    }
    if (headers.dataDirectories.size() <= kPeResourceDirectory) return win32::kResourceTypeNotFound;
    const PeDataDirectory table = headers.dataDirectories[kPeResourceDirectory];
    const std::optional<uint64_t> tableOffset = PeFileOffsetOf(sections, table.virtualAddress, table.size);
    if (table.size == 0 || !tableOffset) return win32::kResourceTypeNotFound;

    uint32_t rva = 0;
    uint32_t size = 0;
    if (const uint32_t err = WalkToVersionData(ResourceDirectory(fd, *tableOffset, table.size), rva, size)) return err;
    const std::optional<uint64_t> dataOffset = PeFileOffsetOf(sections, rva, size);
    if (size == 0 || size > kMaxVersionResourceSize || !dataOffset) return win32::kResourceTypeNotFound;
    out = {*dataOffset, size};
    return 0;
}

uint32_t ReadVersionResource(int fd, const VersionResource& resource, std::vector<unsigned char>& block) {
    block.assign(resource.size, 0);
    size_t got = 0;
    if (ReadAt(fd, block.data(), block.size(), resource.fileOffset, got) != 0 || got != block.size()) {
        return win32::kReadFault;
    }
    return 0;
}

bool QueryFixedFileVersion(const std::vector<unsigned char>& block, FixedFileVersion& out) {
    if (block.size() < kFixedInfoOffset + kFixedFileInfoSize) return false;
    const size_t length = PeLe16(block.data());
    const size_t valueLength = PeLe16(block.data() + 2);
    if (length > block.size() || length < kFixedInfoOffset + kFixedFileInfoSize || valueLength < kFixedFileInfoSize) {
        return false;
    }
    for (size_t i = 0; i < kVersionKeyBytes / 2; ++i) {
        if (PeLe16(block.data() + kVersionKeyOffset + 2 * i) != kVersionInfoKey[i]) return false;
    }
    const unsigned char* fixed = block.data() + kFixedInfoOffset;
    if (PeLe32(fixed) != kFixedFileInfoSignature) return false;
    out = {PeLe32(fixed + 8), PeLe32(fixed + 12)};
    return true;
}

}  // namespace zuvelo::platform
