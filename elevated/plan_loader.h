#pragma once

#include <string>
#include <vector>

#include "common/error_codes.h"
#include "elevated/plan_operation.h"

namespace zuvelo {

// Reads, decodes and validates the whole plan before anything runs. 0 with the
// plan filled, or the error code after one error event ("execution_plan").
ErrorCode LoadPlanFromFile(const std::wstring& planPath, std::vector<PlanOperation>& plan);

// All bytes of a regular file. Throws std::runtime_error "Failed to open file"
// for anything that cannot be opened or is not a regular file.
std::string ReadWholeFile(const std::wstring& path);

// Validates and converts the decoded plan text; clears plan first.
ErrorCode ParsePlanJson(const std::wstring& planText, std::vector<PlanOperation>& plan);

// Accepts the fourteen type words in any ASCII letter case.
bool ParseOperationType(const std::string& typeText, PlanOperationType& type, std::string& message);

}  // namespace zuvelo
