#pragma once

#include <string>

#include "common/jsonl_logger.h"

namespace zuvelo {

inline void LogPrereq(LogLevel level, const std::string& message) {
    JsonlLogger::Instance().LogDiagnostic(level, message, "PrereqInstaller");
}

}  // namespace zuvelo
