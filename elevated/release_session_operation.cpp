#include "elevated/release_session_operation.h"

#include <filesystem>
#include <string>

#include "common/file_operations.h"
#include "common/jsonl_logger.h"
#include "common/paths.h"
#include "elevated/command_handlers.h"
#include "elevated/operation_frame.h"
#include "elevated/plan_steps.h"

namespace zuvelo {

namespace {

ErrorCode RemoveSessionTree(const std::wstring& root) {
    FileOperations files;
    return files.RemoveDirectoryTree(root, true);
}

}  // namespace

ErrorCode ReleaseSessionFolder(const std::wstring& sessionRoot, const std::string& operation,
                               const TreeRemover& removeTree) {
    JsonlLogger& log = JsonlLogger::Instance();
    // Removed recursively: it must name one folder, never a relative path or a file-system root.
    if (!IsAbsoluteNonRootPath(sessionRoot)) {
        log.LogError(ErrorCode::InvalidArguments, operation,
                     "Session root must be an absolute path and not a file-system root");
        return ErrorCode::InvalidArguments;
    }
    const std::filesystem::path root = NativePath(sessionRoot);
    // A failing test (other than "not found") throws to the frame's guard.
    if (!PathExists(root)) {
        log.LogDiagnostic(LogLevel::Warning, "Session root not found for release");
        return ErrorCode::Success;
    }
    const ErrorCode code = removeTree(WidePath(root));
    if (code != ErrorCode::Success) {
        log.LogError(code, operation, "Failed to remove session directory");
        return code;
    }
    log.LogStatus(operation, "completed");
    return ErrorCode::Success;
}

ErrorCode HandleReleaseSession(const std::wstring& sessionRoot) {
    return RunCommandFrame("session_release",
                           [&] { return ReleaseSessionFolder(sessionRoot, "session_release", RemoveSessionTree); });
}

ErrorCode RunReleaseSessionOperation(const PlanOperation& operation) {
    const std::string missing = operation.sessionRoot.empty() ? "Missing sessionRoot" : "";
    return RunStepFrame("release_session", missing, [&] {
        return ReleaseSessionFolder(operation.sessionRoot, "release_session", RemoveSessionTree);
    });
}

}  // namespace zuvelo
