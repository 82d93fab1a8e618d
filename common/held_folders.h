#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/system_error.h"
#include "platform/handles.h"
#include "platform/unique_fd.h"

namespace zuvelo {

// Opens one name below the folder held as dirFd as itself, never following a link
// (platform::OpenForRemovalAt, platform::OpenPathHandleAt).
using OpenBelowFolder = uint32_t (*)(int dirFd, const std::string& name, platform::UniqueFd& out);

// The folders from a root folder held open down to the one last worked in, each opened by
// its name from the one above and held, so the next item in the same part of the tree
// needs no walk from the root. They are used again only once the deepest of them is
// shown to lie as many levels below the root as when it was reached (a folder moved
// meanwhile is walked afresh). Only the deepest kHeldFolderLimit keep their handles, so
// few handles are held at any depth.
class HeldFolders {
public:
    static constexpr size_t kHeldFolderLimit = 64;

    // open: how each folder is opened from the one above; a removal's own are opened for
    // deletion (platform::OpenForRemovalAt: on Windows nobody renames or deletes them meanwhile).
    explicit HeldFolders(OpenBelowFolder open = &platform::OpenForRemovalAt) : open_(open) {}

    // The folder at relativeFolder below the root held as rootFd, which was rootIdentity
    // when it was held ("\\" and "/" both separate the components; empty for the root
    // itself), reached or reused; fd receives its handle, valid until the next call. The
    // error otherwise: 2 or 3 when a folder on the way is missing or is no folder; a
    // refusal (5) when a link or another mount stands where a folder must be.
    SystemError Reach(int rootFd, const platform::HandleInfo& rootIdentity, std::string_view relativeFolder,
                      int& fd);
    // Lets go of every held folder.
    void Clear();

private:
    struct Level {
        std::string name;
        platform::HandleInfo identity;
        platform::UniqueFd handle;  // empty above the deepest kHeldFolderLimit
        size_t end = 0;             // where the level's name ends in path_
    };
    // Keeps the held folders relativeFolder begins with and lets go of the others; the
    // components of relativeFolder below the kept ones are left in rest.
    void KeepLeading(std::string_view relativeFolder, std::string_view& rest);
    // The deepest held folder still lies levels_.size() levels below the root.
    bool DeepestStillInPlace(const platform::HandleInfo& rootIdentity) const;

    OpenBelowFolder open_;
    std::vector<Level> levels_;
    std::string path_;  // the held names joined by the native separator (compared at once)
};

}  // namespace zuvelo
