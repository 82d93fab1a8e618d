#include <string>

#include "common/file_operations.h"
#include "elevated/command_handlers.h"
#include "elevated/operation_frame.h"
#include "elevated/plan_steps.h"
#include "elevated/release_session_operation.h"

namespace zuvelo {

namespace {

ErrorCode RemoveSessionTree(const std::wstring& root) {
    FileOperations files;
    return files.RemoveDirectoryTree(root, true);
}

}  // namespace

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
