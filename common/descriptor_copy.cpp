#include "common/descriptor_copy.h"

#include <memory>

#include "common/jsonl_logger.h"
#include "platform/file_io.h"

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

}  // namespace

DescriptorCopyOutcome CopyBetweenDescriptors(const DescriptorCopy& run) {
    using Kind = DescriptorCopyOutcome::Kind;
    DescriptorCopyOutcome outcome;
    const auto buffer = std::make_unique_for_overwrite<unsigned char[]>(FileOperations::kIoBlockSize);
    platform::Sha256 hash;
    while (outcome.copied <= run.stopAfter) {
        size_t got = 0;
        if (const uint32_t err = platform::ReadSome(run.source, buffer.get(), FileOperations::kIoBlockSize, got)) {
            outcome.kind = Kind::ReadFailed;
            outcome.win32Error = err;
            return outcome;
        }
        if (got == 0) break;
        if (run.verify) hash.Update(buffer.get(), got);
        if (const uint32_t err = platform::WriteFullyAt(run.target, buffer.get(), got, outcome.copied)) {
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
    if (run.verify) outcome.hashesMatch = FinishVerifiedCopy(run, hash, outcome);
    return outcome;
}

}  // namespace zuvelo
