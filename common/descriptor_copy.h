#pragma once

#include <cstdint>
#include <limits>
#include <string>

#include "common/file_operations.h"
#include "platform/sha256.h"
#include "platform/staged_file.h"

// The copy engine shared by every file copy: one pass from one open file to
// another. With verify the bytes are hashed as they are read, and the very
// buffer that was hashed is what gets written, so a check costs no second read.
// Without it they are copied inside the system where it offers that
// (copy_file_range), never passing through this program's memory.
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
    // CreateFailed: the staged file of CopyIntoStagedFile could not be made, or the
    // system's copy that makes it failed.
    enum class Kind { Done, CreateFailed, ReadFailed, WriteFailed, FlushFailed, Cancelled };
    Kind kind = Kind::Done;
    uint32_t win32Error = 0;
    uint64_t copied = 0;
    bool hashesMatch = false;  // with verify: the target holds exactly the bytes hashed
    bool hashFailed = false;   // with verify: the digest could not be taken
    std::string sha256;        // their digest when they do
};

DescriptorCopyOutcome CopyBetweenDescriptors(const DescriptorCopy& run);

// Copies run.source into a new staged file in the folder open as folderFd (run.target
// is not used). A whole copy of 10 MiB or less (not run.chunked) is the system's where it
// has one (CopyFileExW: the staged file then has the source's attributes and alternate
// streams, and with run.verify both files are read back to compare their digests).
// Otherwise the staged file is created with mode and CopyBetweenDescriptors fills it.
DescriptorCopyOutcome CopyIntoStagedFile(const DescriptorCopy& run, int folderFd, uint32_t mode,
                                         platform::StagedFile& staged);

}  // namespace zuvelo
