#include "common/update_lock.h"

#include <filesystem>

#include "common/file_operations.h"
#include "common/jsonl_logger.h"
#include "common/text.h"
#include "platform/machine_root.h"
#include "platform/private_folder.h"

namespace zuvelo {

ErrorCode HoldUpdateLock(platform::FileLock& lock, const std::string& component) {
    if (lock.Held()) return ErrorCode::Success;
    JsonlLogger& log = JsonlLogger::Instance();
    const std::filesystem::path locks = platform::LockFolder();
    bool created = false;
    uint32_t error = 0;
    const platform::PrivateFolderState state = platform::EnsurePrivateFolder(locks, created, error);
    if (state != platform::PrivateFolderState::Usable) {
        log.LogDiagnostic(LogLevel::Error, "Refusing lock folder " + ToUtf8Lossy(locks) + ": it is " +
                                               platform::DescribePrivateFolderState(state), component);
        return ErrorCode::DirectoryCreateFailed;
    }
    error = lock.Acquire(locks / "update.lock", [&] {
        log.LogDiagnostic(LogLevel::Info, "Waiting for another update to finish", component);
    });
    if (error != 0) {
        log.LogDiagnostic(LogLevel::Error, "Failed to lock " + ToUtf8Lossy(locks / "update.lock") + " - " +
                                               WideToUtf8Lossy(FormatWin32Error(error)), component);
        return FileOperations::MapWin32Error(error);
    }
    return ErrorCode::Success;
}

}  // namespace zuvelo
