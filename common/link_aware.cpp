#include "common/link_aware.h"

#include <string_view>

#include "platform/win32_error.h"

namespace zuvelo {

namespace fs = std::filesystem;

platform::HandleInfo EntryAt(const fs::path& path) {
    platform::HandleInfo info;
    if (platform::QueryPathInfo(path, false, info) != 0) info = {};
    return info;
}

bool EntryExists(const fs::path& path) {
    platform::HandleInfo info;
    return platform::QueryPathInfo(path, false, info) == 0;
}

namespace {

// WalkWithoutLinks's visit on the one walk, with each entry's path below the folder.
class PathVisitor final : public TreeVisitor {
public:
    PathVisitor(const fs::path& folder, const WalkVisitor& visit) : folder_(folder), visit_(visit) {}

    WalkStep Visit(const TreeEntry& entry) override {
        return visit_({PathOf(entry.relative), *entry.info, entry.depth});
    }

    WalkStep Failed(const TreeWalkFailure& failure) override {
        if (failure.stage == TreeWalkFailure::Stage::Look) return WalkStep::Continue;
        this->failure = FolderWalkFailure{PathOf(failure.relative), platform::ErrorCodeFromWin32(failure.error.code())};
        return WalkStep::Stop;
    }

    std::optional<FolderWalkFailure> failure;

private:
    fs::path PathOf(std::string_view relative) const { return PathBelow(folder_, relative); }

    const fs::path& folder_;
    const WalkVisitor& visit_;
};

}  // namespace

std::optional<FolderWalkFailure> WalkWithoutLinks(const fs::path& folder, const WalkVisitor& visit) {
    PathVisitor visitor(folder, visit);
    WalkFolder(folder, visitor, LookAt::EveryEntry);
    return visitor.failure;
}

}  // namespace zuvelo
