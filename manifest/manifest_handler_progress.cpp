#include <chrono>
#include <cstdint>
#include <string>

#include "common/jsonl_logger.h"
#include "manifest/manifest_handler.h"

namespace zuvelo {

namespace {

constexpr int64_t kTicksPerSecond = 10000000;

}  // namespace

int64_t ManifestHandler::NowTicks() const {
    using Ticks = std::chrono::duration<int64_t, std::ratio<1, kTicksPerSecond>>;
    return std::chrono::duration_cast<Ticks>(Now().time_since_epoch()).count();
}

void ManifestHandler::ResetProgress(int32_t totalFiles, uint64_t totalBytes) {
    progress_ = ManifestProgress{};
    progress_.totalFiles = totalFiles;
    progress_.totalBytes = totalBytes;
    progress_.startTime = NowTicks();
}

void ManifestHandler::UpdateProgress(int32_t processedFiles, uint64_t processedBytes, const std::string& currentFile) {
    progress_.processedFiles = processedFiles;
    progress_.processedBytes = processedBytes;
    progress_.currentFile = currentFile;
    if (progress_.totalBytes != 0) {
        progress_.overallPercent =
            static_cast<double>(processedBytes) / static_cast<double>(progress_.totalBytes) * 100.0;
    } else if (progress_.totalFiles >= 1) {
        progress_.overallPercent = static_cast<double>(processedFiles) / progress_.totalFiles * 100.0;
    } else {
        progress_.overallPercent = 0.0;
    }

    const int64_t elapsedSeconds = (NowTicks() - progress_.startTime) / kTicksPerSecond;
    if (elapsedSeconds <= 0) return;
    progress_.bytesPerSecond = static_cast<double>(processedBytes) / static_cast<double>(elapsedSeconds);
    if (progress_.bytesPerSecond <= 0.0) return;
    // Nothing is left once more than the announced total went by.
    const uint64_t remaining = progress_.totalBytes > processedBytes ? progress_.totalBytes - processedBytes : 0;
    progress_.estimatedRemainingMs =
        static_cast<uint64_t>(static_cast<double>(remaining) / progress_.bytesPerSecond) * 1000;
}

void ManifestHandler::UpdateFileProgress(const std::string& file, uint64_t bytesDone, uint64_t bytesTotal) {
    progress_.currentFile = file;
    progress_.currentFileTotal = bytesTotal;
    progress_.currentFileBytes = bytesDone;
    progress_.currentFilePercent =
        bytesTotal == 0 ? 100.0 : static_cast<double>(bytesDone) / static_cast<double>(bytesTotal) * 100.0;
    JsonlLogger::Instance().LogDownloadProgress(file, bytesDone, bytesTotal);
}

}  // namespace zuvelo
