#pragma once

#include <functional>
#include <string>

#include "common/error_codes.h"

namespace zuvelo {

using OperationBody = std::function<ErrorCode()>;

// Frame of every command handler: status "starting", then the body; an escaped
// std::exception becomes an error event with code 4 and its message.
ErrorCode RunCommandFrame(const std::string& operation, const OperationBody& body);

// Frame of every plan step: like a command, but a non-empty missingParameters
// message gives an error event with code 1 and the body never runs.
ErrorCode RunStepFrame(const std::string& operation, const std::string& missingParameters, const OperationBody& body);

// A folder the programs write into or remove: an absolute path that is not a
// file-system root. Never throws (an unusable text is no such folder).
bool IsUsableTargetPath(const std::wstring& path) noexcept;

// For a step: "Invalid targetPath" when targetPath is not usable, else "".
std::string TargetPathProblem(const std::wstring& targetPath);

// For a command: false, after an error event with code 1 ("Target path must be
// an absolute path and not a file-system root"), when targetPath is not usable.
bool CheckCommandTarget(const std::string& operation, const std::wstring& targetPath);

}  // namespace zuvelo
