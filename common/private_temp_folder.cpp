#include "common/private_temp_folder.h"

#include <cstdint>

#include "common/jsonl_logger.h"
#include "common/paths.h"
#include "common/text.h"

namespace zuvelo {

namespace {

ErrorCode CreateFailed(const std::filesystem::path& folder, uint32_t error, const PrivateFolderRole& role) {
    role.log.Error("Failed to create directory: " + ToUtf8Lossy(folder) + " - " +
                   WideToUtf8Lossy(FormatWin32Error(error)));
    return ErrorCode::DirectoryCreateFailed;
}

// Usable (made now when missing), Failed, or the reason it is refused.
platform::PrivateFolderState EnsureFolder(const std::filesystem::path& folder, uint32_t& error) {
    bool created = false;
    const platform::PrivateFolderState state = platform::EnsurePrivateFolder(folder, created, error);
    if (created) JsonlLogger::Instance().LogFileOperation("mkdir", WidePath(folder), true, 0, false);
    return state;
}

}  // namespace

std::string PrivateFolderRefusal(const std::filesystem::path& folder, platform::PrivateFolderState state,
                                 const PrivateFolderRole& role) {
    return std::string("Refusing ") + role.name + " " + ToUtf8Lossy(folder) + ": it is " +
           platform::DescribePrivateFolderState(state);
}

ErrorCode PreparePrivateFolder(const std::filesystem::path& folder, const PrivateFolderRole& role) {
    uint32_t error = 0;
    const platform::PrivateFolderState state = EnsureFolder(folder, error);
    if (state == platform::PrivateFolderState::Failed) return CreateFailed(folder, error, role);
    if (state != platform::PrivateFolderState::Usable) {
        role.log.Error(PrivateFolderRefusal(folder, state, role));
        return ErrorCode::DirectoryCreateFailed;
    }
    return ErrorCode::Success;
}

ErrorCode PreparePrivateFolderOrReplacement(std::filesystem::path& folder, bool& replaced,
                                            const PrivateFolderRole& role) {
    replaced = false;
    uint32_t error = 0;
    const platform::PrivateFolderState state = EnsureFolder(folder, error);
    if (state == platform::PrivateFolderState::Usable) return ErrorCode::Success;
    if (state == platform::PrivateFolderState::Failed) return CreateFailed(folder, error, role);
    std::filesystem::path fresh;
    if ((error = platform::MakeFreshPrivateFolder(folder.parent_path(), Utf8FromPath(folder.filename()) + ".", fresh))) {
        role.log.Error(PrivateFolderRefusal(folder, state, role));
        return CreateFailed(fresh.empty() ? folder.parent_path() : fresh, error, role);
    }
    role.log.Warning(PrivateFolderRefusal(folder, state, role) + "; using " + ToUtf8Lossy(fresh) + " for this run");
    folder = fresh;
    replaced = true;
    return ErrorCode::Success;
}

}  // namespace zuvelo
