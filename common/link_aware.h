#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <system_error>

#include "common/tree_walk.h"
#include "platform/handles.h"

// Looking at and walking folders without ever following a link. On Windows every
// reparse point (symbolic link, junction, mounted volume) counts as a link, which
// the C++ library's own link tests there do not see.
namespace zuvelo {

// What lies at path itself, a link never followed; an empty info (neither folder,
// file nor link) when nothing can be looked at there.
platform::HandleInfo EntryAt(const std::filesystem::path& path);

// Whether anything lies at path, a link (a broken one too) counted as itself;
// false also when the path cannot be looked at.
bool EntryExists(const std::filesystem::path& path);

// One entry met by WalkWithoutLinks.
struct WalkedEntry {
    std::filesystem::path path;
    platform::HandleInfo info;  // the entry itself, never what a link points to
    size_t depth = 0;           // 0 for the entries of the walked folder itself
};

// The folder a walk could not list, with what the C++ library reported.
struct FolderWalkFailure {
    std::filesystem::path folder;
    std::error_code error;
};

using WalkVisitor = std::function<WalkStep(const WalkedEntry&)>;

// Visits every entry below folder (WalkFolder), each folder before what it holds, in the
// order the file system lists them; the visitor's Continue or SkipFolder. A link is visited
// as itself and never entered (folder itself is what the caller named and is listed even
// when it is one), nor is a folder on another mount. An entry that cannot be looked at
// (gone since it was listed) is passed over. The walk stops at the first folder it cannot
// enter, list or read on.
std::optional<FolderWalkFailure> WalkWithoutLinks(const std::filesystem::path& folder, const WalkVisitor& visit);

}  // namespace zuvelo
