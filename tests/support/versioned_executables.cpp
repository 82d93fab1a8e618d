#include "tests/support/versioned_executables.h"

#include "tests/support/signed_executables.h"

namespace zuvelo::test {

namespace {

constexpr size_t kOptionalHeader = 0x40 + 24;  // after the PE signature and file header
constexpr uint32_t kResourceRva = 0x2000;
constexpr size_t kFileAlignment = 0x200;
constexpr size_t kBlockOffset = 0x58;  // after three directories and the data entry

void Put(std::string& bytes, size_t at, uint64_t value, size_t width) {
    if (bytes.size() < at + width) bytes.resize(at + width, '\0');
    for (size_t i = 0; i < width; ++i) bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

// A resource directory with one ID entry pointing at target.
void PutDirectory(std::string& section, size_t at, uint32_t id, uint32_t target) {
    Put(section, at + 14, 1, 2);
    Put(section, at + 16, id, 4);
    Put(section, at + 20, target, 4);
}

}  // namespace

std::string FixedVersionBlock(uint16_t a, uint16_t b, uint16_t c, uint16_t d) {
    std::string block;
    Put(block, 0, 92, 2);  // wLength
    Put(block, 2, 52, 2);  // wValueLength
    const std::u16string key = u"VS_VERSION_INFO";
    for (size_t i = 0; i < key.size(); ++i) Put(block, 6 + 2 * i, key[i], 2);
    Put(block, 40, 0xFEEF04BD, 4);
    Put(block, 48, uint32_t{a} << 16 | b, 4);
    Put(block, 52, uint32_t{c} << 16 | d, 4);
    Put(block, 88, 0, 4);  // the last field, so the block is whole
    return block;
}

std::string PeImageWithVersion(const std::string& block) {
    std::string section;
    PutDirectory(section, 0x00, 16, 0x80000000 | 0x18);
    PutDirectory(section, 0x18, 1, 0x80000000 | 0x30);
    PutDirectory(section, 0x30, 0x409, 0x48);
    Put(section, 0x48, kResourceRva + kBlockOffset, 4);
    Put(section, 0x4c, block.size(), 4);
    section.resize(kBlockOffset);
    section += block;
    const size_t used = section.size();
    section.resize((used + kFileAlignment - 1) / kFileAlignment * kFileAlignment, '\0');

    std::string image = TinyPeImage(true);
    Put(image, 0x40 + 6, 2, 2);                   // sections
    Put(image, kOptionalHeader + 56, 0x3000, 4);  // size of image
    Put(image, kOptionalHeader + 112 + 2 * 8, kResourceRva, 4);
    Put(image, kOptionalHeader + 112 + 2 * 8 + 4, used, 4);
    const size_t header = kOptionalHeader + 240 + 40;  // the second section header
    image.replace(header, 5, ".rsrc");
    Put(image, header + 8, used, 4);
    Put(image, header + 12, kResourceRva, 4);
    Put(image, header + 16, section.size(), 4);
    Put(image, header + 20, image.size(), 4);
    Put(image, header + 36, 0x40000040, 4);  // initialised data, read
    return image + section;
}

}  // namespace zuvelo::test
