#include "common/descriptor_copy.h"

#include <memory>
#include <optional>

#include "common/jsonl_logger.h"
#include "platform/file_io.h"
#include "platform/win32_error.h"

namespace zuvelo {

namespace {

constexpr uint64_t kWritebackWindow = 32ull * 1024 * 1024;

// The digest of what was written, provided the target holds exactly those bytes.
bool FinishVerifiedCopy(const DescriptorCopy& run, platform::Sha256& hash, DescriptorCopyOutcome& outcome) {
    platform::FileStat written;
    if (platform::StatFd(run.target, written) != 0 || written.size != outcome.copied) return false;
    if (hash.Ok() && hash.Finish(outcome.sha256)) return true;
    outcome.hashFailed = true;
    if (run.onHashFailure) run.onHashFailure(hash);
    return false;
}

bool ReportChunkProgress(const DescriptorCopy& run, uint64_t copied) {
    if (run.progress && *run.progress && !(*run.progress)(copied, run.total)) return false;
    const int64_t percent = run.total == 0 ? 100 : static_cast<int64_t>(copied * 100 / run.total);
    JsonlLogger::Instance().LogProgress("file_copy", percent, "Copied " + std::to_string(copied) + " bytes");
    return true;
}

// The digest of the whole file open as fd, read from its start; an error of reading it.
uint32_t DigestOf(const DescriptorCopy& run, int fd, unsigned char* buffer, std::string& hex, bool& hashFailed) {
    platform::Sha256 hash;
    for (uint64_t offset = 0;;) {
        size_t got = 0;
        if (const uint32_t err = platform::ReadAt(fd, buffer, FileOperations::kIoBlockSize, offset, got)) return err;
        if (got == 0) break;
        hash.Update(buffer, got);
        offset += got;
    }
    hashFailed = !hash.Ok() || !hash.Finish(hex);
    if (hashFailed && run.onHashFailure) run.onHashFailure(hash);
    return 0;
}

// What the system's copy left in the staged file: its size and, when asked, whether it
// holds what the source holds, by the digests of both.
DescriptorCopyOutcome CheckSystemCopy(const DescriptorCopy& run, int copy) {
    using Kind = DescriptorCopyOutcome::Kind;
    DescriptorCopyOutcome outcome;
    platform::FileStat written;
    if (const uint32_t err = platform::StatFd(copy, written)) {
        outcome.kind = Kind::ReadFailed;
        outcome.win32Error = err;
        return outcome;
    }
    outcome.copied = written.size;
    if (!run.verify) return outcome;
    const auto buffer = std::make_unique_for_overwrite<unsigned char[]>(FileOperations::kIoBlockSize);
    std::string sourceHex;
    std::string copyHex;
    bool sourceFailed = false;
    bool copyFailed = false;
    uint32_t err = DigestOf(run, run.source, buffer.get(), sourceHex, sourceFailed);
    if (err == 0) err = DigestOf(run, copy, buffer.get(), copyHex, copyFailed);
    if (err != 0) {
        outcome.kind = Kind::ReadFailed;
        outcome.win32Error = err;
        return outcome;
    }
    outcome.hashFailed = sourceFailed || copyFailed;
    outcome.hashesMatch = !outcome.hashFailed && sourceHex == copyHex;
    if (outcome.hashesMatch) outcome.sha256 = std::move(copyHex);
    return outcome;
}

// The blocks of one copy. Bytes that need no digest are copied inside the system while
// it copies these files; otherwise, or once it fails, they are read into a buffer and
// written, which also names a real read or write failure for what it is.
class BlockCopier {
public:
    enum class Result { Copied, Ended, ReadFailed };

    explicit BlockCopier(const DescriptorCopy& run) : run_(run), inSystem_(!run.verify) {}

    // The next block, of got bytes, taken from the source at its offset (at in the target).
    Result Next(uint64_t at, size_t& got, uint32_t& err) {
        if (inSystem_) {
            const bool copied = platform::CopyRange(run_.source, run_.target, at, FileOperations::kIoBlockSize, got) == 0;
            if (copied && got > 0) return Result::Copied;
            // A first call that copies nothing may also mean a file the system will not copy: read to be sure.
            if (copied && at > 0) return Result::Ended;
            inSystem_ = false;
        }
        if (!buffer_) buffer_ = std::make_unique_for_overwrite<unsigned char[]>(FileOperations::kIoBlockSize);
        if ((err = platform::ReadSome(run_.source, buffer_.get(), FileOperations::kIoBlockSize, got)) != 0) {
            return Result::ReadFailed;
        }
        pendingWrite_ = got > 0;
        return got > 0 ? Result::Copied : Result::Ended;
    }

    // The bytes of the block just read (none when the system copied it).
    const unsigned char* Data() const { return buffer_.get(); }

    // Writes the block just taken at offset at, unless the system copied it there already.
    uint32_t Write(size_t got, uint64_t at) {
        if (!pendingWrite_) return 0;
        pendingWrite_ = false;
        return platform::WriteFullyAt(run_.target, buffer_.get(), got, at);
    }

private:
    const DescriptorCopy& run_;
    bool inSystem_;
    bool pendingWrite_ = false;
    std::unique_ptr<unsigned char[]> buffer_;
};

}  // namespace

DescriptorCopyOutcome CopyIntoStagedFile(const DescriptorCopy& run, int folderFd, uint32_t mode,
                                         platform::StagedFile& staged) {
    using Kind = DescriptorCopyOutcome::Kind;
    DescriptorCopyOutcome outcome;
    uint32_t err = run.chunked ? platform::win32::kNotSupported : staged.CreateAsCopyOf(folderFd, run.source);
    if (err == 0) return CheckSystemCopy(run, staged.fd());
    if (err == platform::win32::kNotSupported) err = staged.Create(folderFd, mode);
    if (err != 0) {
        outcome.kind = Kind::CreateFailed;
        outcome.win32Error = err;
        return outcome;
    }
    DescriptorCopy into = run;
    into.target = staged.fd();
    return CopyBetweenDescriptors(into);
}

DescriptorCopyOutcome CopyBetweenDescriptors(const DescriptorCopy& run) {
    using Kind = DescriptorCopyOutcome::Kind;
    DescriptorCopyOutcome outcome;
    BlockCopier blocks(run);
    std::optional<platform::Sha256> hash;
    if (run.verify) hash.emplace();
    while (outcome.copied <= run.stopAfter) {
        size_t got = 0;
        const BlockCopier::Result step = blocks.Next(outcome.copied, got, outcome.win32Error);
        if (step == BlockCopier::Result::Ended) break;
        if (step == BlockCopier::Result::ReadFailed) {
            outcome.kind = Kind::ReadFailed;
            return outcome;
        }
        if (hash) hash->Update(blocks.Data(), got);
        if (const uint32_t err = blocks.Write(got, outcome.copied)) {
            outcome.kind = Kind::WriteFailed;
            outcome.win32Error = err;
            return outcome;
        }
        outcome.copied += got;
        // Start writing each finished window to the device, so that the flush at
        // the end has little left to wait for.
        if (run.flush && outcome.copied % kWritebackWindow == 0) {
            platform::StartWriteback(run.target, outcome.copied - kWritebackWindow, kWritebackWindow);
        }
        if (run.chunked && !ReportChunkProgress(run, outcome.copied)) {
            outcome.kind = Kind::Cancelled;
            return outcome;
        }
    }
    if (run.flush) {
        if (const uint32_t err = platform::FlushFile(run.target)) {
            outcome.kind = Kind::FlushFailed;
            outcome.win32Error = err;
            return outcome;
        }
    }
    if (hash) outcome.hashesMatch = FinishVerifiedCopy(run, *hash, outcome);
    return outcome;
}

}  // namespace zuvelo
