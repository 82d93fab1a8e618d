#pragma once

#include <cstdint>
#include <limits>
#include <string>

#include "common/file_operations.h"
#include "platform/sha256.h"

// The copy engine shared by every file copy: one pass from one open file to
// another. With verify the bytes are hashed as they are read, and the very
// buffer that was hashed is what gets written, so a check costs no second read.
namespace zuvelo {

struct DescriptorCopy {
    int source = -1;
    int target = -1;  // written from offset 0
    uint64_t total = 0;  // the expected size, for progress
    // Reading stops once more than this was copied (a source that grows is not followed for ever).
    uint64_t stopAfter = std::numeric_limits<uint64_t>::max();
    bool chunked = false;  // reports "file_copy" progress (and asks the callback) after each block
    bool verify = false;
    bool flush = false;  // write the data to the device before reporting success
    const CopyProgressCallback* progress = nullptr;
    void (*onHashFailure)(const platform::Sha256&) = nullptr;
};

struct DescriptorCopyOutcome {
    enum class Kind { Done, ReadFailed, WriteFailed, FlushFailed, Cancelled };
    Kind kind = Kind::Done;
    uint32_t win32Error = 0;
    uint64_t copied = 0;
    bool hashesMatch = false;  // with verify: the target holds exactly the bytes hashed
    bool hashFailed = false;   // with verify: the digest could not be taken
    std::string sha256;        // their digest when they do
};

DescriptorCopyOutcome CopyBetweenDescriptors(const DescriptorCopy& run);

}  // namespace zuvelo
