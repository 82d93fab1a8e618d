#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/error_codes.h"
#include "elevated/plan_operation.h"

namespace zuvelo {

// Reads, decodes and validates the whole plan before anything runs. 0 with the
// plan filled, or the error code after one error event ("execution_plan").
ErrorCode LoadPlanFromFile(const std::wstring& planPath, std::vector<PlanOperation>& plan);

// The largest plan file read: a plan holds a handful of steps, so this is far
// above any real one, and a hostile file costs no more than a few times this
// (the text is held as UTF-8, as wide text and as JSON).
inline constexpr uint64_t kMaxPlanBytes = 16ull * 1024 * 1024;

// What ReadWholeFile throws for a file above its cap; what() names the cap.
struct FileTooLarge : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// All bytes of a regular file. Throws std::runtime_error "Failed to open file"
// for anything that cannot be opened or is not a regular file, and FileTooLarge
// for one of more than maxBytes (nothing beyond the cap is read).
std::string ReadWholeFile(const std::wstring& path, uint64_t maxBytes = kMaxPlanBytes);

// Validates and converts the decoded plan text; clears plan first.
ErrorCode ParsePlanJson(const std::wstring& planText, std::vector<PlanOperation>& plan);

// Accepts the fourteen type words in any ASCII letter case.
bool ParseOperationType(const std::string& typeText, PlanOperationType& type, std::string& message);

}  // namespace zuvelo
