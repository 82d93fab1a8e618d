#pragma once

#include <string>

#include "common/jsonl_logger.h"

namespace zuvelo {

inline void LogManifest(LogLevel level, const std::string& message) {
    JsonlLogger::Instance().LogDiagnostic(level, message, "ManifestHandler");
}

}  // namespace zuvelo
