#include "common/file_operations.h"
#include "common/jsonl_logger.h"
#include "common/update_lock.h"
#include "elevated/command_handlers.h"
#include "elevated/operation_frame.h"
#include "install/registry_manager.h"
#include "install/shortcut_creator.h"
#include "platform/file_lock.h"

namespace zuvelo {

namespace {

// Shortcuts and the uninstall entry go first; a failure of either only warns.
void RemoveRegistration(ShortcutCreator& shortcuts) {
    shortcuts.RemoveAllShortcuts();
    if (RegistryManager().RemoveUninstallInfo() != ErrorCode::Success) {
        JsonlLogger::Instance().LogDiagnostic(LogLevel::Warning,
                                              "Failed to remove registry entries, continuing with file removal");
    }
}

}  // namespace

ErrorCode HandleRemove(const std::wstring& targetPath, bool purge) {
    return RunCommandFrame("remove", [&] {
        JsonlLogger& log = JsonlLogger::Instance();
        // The folder is removed, recursively with --purge: never a relative path or a root.
        if (!CheckCommandTarget("remove", targetPath)) return ErrorCode::InvalidArguments;
        // Nothing is removed while an update changes the installation.
        platform::FileLock updateLock;
        if (const ErrorCode locked = HoldUpdateLock(updateLock, "remove"); locked != ErrorCode::Success) return locked;
        ShortcutCreator shortcuts;
        RemoveRegistration(shortcuts);
        const ErrorCode code = FileOperations().RemoveDirectoryTree(targetPath, purge);
        if (code != ErrorCode::Success) {
            log.LogError(code, "remove", "");
        } else {
            log.LogCompletion("remove");
        }
        return code;
    });
}

}  // namespace zuvelo
