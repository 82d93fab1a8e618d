#include "common/link_aware.h"

#include <vector>

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

std::optional<FolderWalkFailure> WalkWithoutLinks(const fs::path& folder, const WalkVisitor& visit) {
    std::error_code ec;
    std::vector<fs::directory_iterator> open;
    open.emplace_back(folder, ec);
    if (ec) return FolderWalkFailure{folder, ec};
    while (!open.empty()) {
        if (open.back() == fs::directory_iterator()) {
            open.pop_back();
            continue;
        }
        const fs::path path = open.back()->path();
        const size_t depth = open.size() - 1;
        platform::HandleInfo info;
        const bool lookedAt = platform::QueryPathInfo(path, false, info) == 0;
        const bool enter = lookedAt && visit({path, info, depth}) == WalkStep::Continue && info.IsDirectory();
        open.back().increment(ec);
        if (ec) return FolderWalkFailure{path.parent_path(), ec};
        if (!enter) continue;
        fs::directory_iterator inner(path, ec);
        if (ec) return FolderWalkFailure{path, ec};
        open.push_back(std::move(inner));
    }
    return std::nullopt;
}

}  // namespace zuvelo
