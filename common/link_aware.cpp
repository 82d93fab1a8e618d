#include "common/link_aware.h"

#include <memory>
#include <vector>

#include "common/text.h"
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

// One folder being listed by WalkWithoutLinks.
struct OpenFolder {
    fs::path path;
    std::unique_ptr<platform::DirectoryReader> reader;
};

// A listed name as a path: its UTF-8 (what every name is on Windows), or on Linux the
// bytes themselves when they are not UTF-8.
fs::path NamePath(const std::string& name) {
    try {
        return PathFromUtf8(name);
    } catch (const std::exception&) {
        return fs::path(name);
    }
}

// The folder at path opened for listing by the system's own calls (any path length).
std::optional<FolderWalkFailure> Open(const fs::path& path, std::vector<OpenFolder>& open) {
    platform::UniqueFd listing;
    if (const uint32_t err = platform::OpenDirectoryForListing(path, listing)) {
        return FolderWalkFailure{path, platform::ErrorCodeFromWin32(err)};
    }
    open.push_back({path, std::make_unique<platform::DirectoryReader>(std::move(listing))});
    return std::nullopt;
}

}  // namespace

std::optional<FolderWalkFailure> WalkWithoutLinks(const fs::path& folder, const WalkVisitor& visit) {
    std::vector<OpenFolder> open;
    if (auto failure = Open(folder, open)) return failure;
    while (!open.empty()) {
        platform::DirectoryReader::Entry entry;
        bool done = false;
        if (const uint32_t err = open.back().reader->Next(entry, done)) {
            return FolderWalkFailure{open.back().path, platform::ErrorCodeFromWin32(err)};
        }
        if (done) {
            open.pop_back();
            continue;
        }
        const fs::path path = open.back().path / NamePath(entry.name);
        const size_t depth = open.size() - 1;
        platform::HandleInfo info;
        const bool lookedAt = platform::QueryPathInfo(path, false, info) == 0;
        const bool enter = lookedAt && visit({path, info, depth}) == WalkStep::Continue && info.IsDirectory();
        if (!enter) continue;
        if (auto failure = Open(path, open)) return failure;
    }
    return std::nullopt;
}

}  // namespace zuvelo
