#include "common/partial_download.h"

#include <system_error>

#include "common/jsonl_logger.h"
#include "common/text.h"

namespace zuvelo {

uint64_t PartialDownloadSize(const std::filesystem::path& file) {
    std::error_code ec;
    const uint64_t size = std::filesystem::file_size(file, ec);
    return ec ? 0 : size;
}

bool SettleFullSizePartial(const std::filesystem::path& dest, std::optional<uint64_t> expectedSize,
                           const std::function<bool()>& isComplete, const char* component) {
    const uint64_t size = PartialDownloadSize(dest);
    if (!expectedSize || size == 0 || size < *expectedSize) return false;
    if (isComplete()) return true;
    DiscardPartialDownload(dest, component);
    return false;
}

void DiscardPartialDownload(const std::filesystem::path& dest, const char* component) {
    JsonlLogger::Instance().LogDiagnostic(LogLevel::Debug, "Discarding partial download: " + ToUtf8Lossy(dest),
                                          component);
    std::filesystem::remove(dest);
}

}  // namespace zuvelo
