// A file's version as the prerequisite detection reads it: the resource
// directory of a PE image walked to its version resource, then the fixed file
// information of the version block. Nothing here throws; what is found must lie
// where the file can hold it.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/file_version.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using namespace zuvelo;
using namespace zuvelo::platform;
using fuzz::Require;

constexpr uint32_t kMaxVersionResourceSize = 1024 * 1024;

void CheckImage(const uint8_t* data, size_t size) {
    const fuzz::MemoryFile file(data, size);
    VersionResource resource;
    if (FindVersionResource(file.fd(), resource) != 0) return;
    Require(resource.size > 0 && resource.size <= kMaxVersionResourceSize);
    std::vector<unsigned char> block;
    if (ReadVersionResource(file.fd(), resource, block) != 0) return;
    Require(block.size() == resource.size && resource.fileOffset + resource.size <= size);
    FixedFileVersion version;
    QueryFixedFileVersion(block, version);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CheckImage(data, size);
    // The version block parser on its own, for blocks no image would lead to.
    FixedFileVersion version;
    QueryFixedFileVersion(std::vector<unsigned char>(data, data + size), version);
    return 0;
}
