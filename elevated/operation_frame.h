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

}  // namespace zuvelo
