#include "elevated/operation_frame.h"

#include <exception>

#include "common/jsonl_logger.h"

namespace zuvelo {

namespace {

// The body's objects are destroyed by the time the catch clause runs.
ErrorCode RunGuarded(const std::string& operation, const OperationBody& body) {
    try {
        return body();
    } catch (const std::exception& e) {
        JsonlLogger::Instance().LogError(ErrorCode::InternalError, operation, e.what());
        return ErrorCode::InternalError;
    }
}

}  // namespace

ErrorCode RunCommandFrame(const std::string& operation, const OperationBody& body) {
    JsonlLogger::Instance().LogStatus(operation, "starting");
    return RunGuarded(operation, body);
}

ErrorCode RunStepFrame(const std::string& operation, const std::string& missingParameters, const OperationBody& body) {
    JsonlLogger::Instance().LogStatus(operation, "starting");
    if (!missingParameters.empty()) {
        JsonlLogger::Instance().LogError(ErrorCode::InvalidArguments, operation, missingParameters);
        return ErrorCode::InvalidArguments;
    }
    return RunGuarded(operation, body);
}

}  // namespace zuvelo
