#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>

// A partial download left by a failed attempt, which the next attempt resumes.
namespace zuvelo {

// Size of an existing partial download; 0 when there is none.
uint64_t PartialDownloadSize(const std::filesystem::path& file);

// A partial file that already holds the whole expected size cannot be
// continued: true when isComplete accepts it as the finished file; otherwise it
// is deleted and false. Without an expected size, or below it, there is nothing
// to settle (false). component names the log lines. Deletion errors throw.
bool SettleFullSizePartial(const std::filesystem::path& dest, std::optional<uint64_t> expectedSize,
                           const std::function<bool()>& isComplete, const char* component);

// Deletes a partial download that the server would not continue, so the next
// attempt starts afresh (DEBUG "Discarding partial download: "). Deletion errors throw.
void DiscardPartialDownload(const std::filesystem::path& dest, const char* component);

}  // namespace zuvelo
