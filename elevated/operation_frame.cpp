#include "elevated/operation_frame.h"

#include <exception>

#include "common/jsonl_logger.h"
#include "common/paths.h"

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

bool IsUsableTargetPath(const std::wstring& path) noexcept {
    try {
        return IsAbsoluteNonRootPath(path);
    } catch (...) {
        return false;
    }
}

std::string TargetPathProblem(const std::wstring& targetPath) {
    return IsUsableTargetPath(targetPath) ? "" : "Invalid targetPath";
}

bool CheckCommandTarget(const std::string& operation, const std::wstring& targetPath) {
    if (IsUsableTargetPath(targetPath)) return true;
    JsonlLogger::Instance().LogError(ErrorCode::InvalidArguments, operation,
                                     "Target path must be an absolute path and not a file-system root");
    return false;
}

}  // namespace zuvelo
