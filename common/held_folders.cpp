#include "common/held_folders.h"

#include <algorithm>

#include "common/paths.h"
#include "platform/win32_error.h"

namespace zuvelo {

namespace {

namespace win32 = platform::win32;

// The components of a relative path one after the other, split at "\" and "/" (none for
// an empty path).
class ComponentReader {
public:
    explicit ComponentReader(std::string_view relative) : rest_(relative), done_(relative.empty()) {}
    bool Next(std::string_view& component) {
        if (done_) return false;
        const size_t end = rest_.find_first_of("\\/");
        component = rest_.substr(0, end);
        if (end == std::string_view::npos) {
            done_ = true;
            rest_ = {};
        } else {
            rest_.remove_prefix(end + 1);
        }
        return true;
    }
    // What follows the component last read.
    std::string_view Rest() const { return rest_; }

private:
    std::string_view rest_;
    bool done_;
};

}  // namespace

void HeldFolders::Clear() {
    levels_.clear();
    path_.clear();
}

void HeldFolders::KeepLeading(std::string_view relativeFolder, std::string_view& rest) {
    const char separator = static_cast<char>(kNativeSeparator);
    const std::string_view held = path_;
    size_t kept = 0;
    rest = relativeFolder;
    // The usual cases, compared at once: the same folder or one below it, or one above.
    if (held.empty()) {
        kept = 0;
    } else if (relativeFolder.starts_with(held) &&
               (relativeFolder.size() == held.size() || relativeFolder[held.size()] == separator)) {
        kept = levels_.size();
        rest = relativeFolder.substr(std::min(relativeFolder.size(), held.size() + 1));
    } else if (held.starts_with(relativeFolder) &&
               (relativeFolder.empty() || held[relativeFolder.size()] == separator)) {
        const auto above = std::partition_point(levels_.begin(), levels_.end(),
                                                [&](const Level& level) { return level.end <= relativeFolder.size(); });
        kept = static_cast<size_t>(above - levels_.begin());
        rest = {};
    } else {
        ComponentReader components(relativeFolder);
        std::string_view component;
        while (kept < levels_.size() && components.Next(component) && levels_[kept].name == component) {
            ++kept;
            rest = components.Rest();
        }
    }
    levels_.resize(kept);
    path_.resize(kept == 0 ? 0 : levels_.back().end);
}

SystemError HeldFolders::Reach(int rootFd, const platform::HandleInfo& rootIdentity, std::string_view relativeFolder,
                               int& fd) {
    if (rootFd < 0) return win32::kInvalidHandle;
    std::string_view rest;
    KeepLeading(relativeFolder, rest);
    if (!levels_.empty() && (!levels_.back().handle.valid() || !DeepestStillInPlace(rootIdentity))) {
        Clear();  // walked afresh from the root
        rest = relativeFolder;
    }
    ComponentReader components(rest);
    for (std::string_view component; components.Next(component);) {
        const int parent = levels_.empty() ? rootFd : levels_.back().handle.get();
        Level level{std::string(component), {}, {}, 0};
        if (const uint32_t err = open_(parent, level.name, level.handle)) return err;
        if (const uint32_t err = platform::QueryHandleInfo(level.handle.get(), level.identity)) return err;
        const platform::HandleInfo& info = level.identity;
        if (info.IsSymlink() || (info.IsDirectory() && info.OnOtherMountThan(rootIdentity))) {
            return SystemError::Refusal(win32::kAccessDenied);  // a folder on the way became a link or a mount
        }
        if (!info.IsDirectory()) return win32::kPathNotFound;
        if (!path_.empty()) path_ += static_cast<char>(kNativeSeparator);
        path_ += level.name;
        level.end = path_.size();
        levels_.push_back(std::move(level));
        if (levels_.size() > kHeldFolderLimit) levels_[levels_.size() - kHeldFolderLimit - 1].handle.reset();
    }
    fd = levels_.empty() ? rootFd : levels_.back().handle.get();
    return {};
}

bool HeldFolders::DeepestStillInPlace(const platform::HandleInfo& rootIdentity) const {
    platform::UniqueFd ancestor;
    int current = levels_.back().handle.get();
    size_t remaining = levels_.size();
    while (remaining > 0) {
        const size_t step = std::min(remaining, platform::kMaxAncestorLevels);
        platform::UniqueFd up;
        platform::HandleInfo info;
        if (platform::OpenAncestor(current, step, up) != 0 || platform::QueryHandleInfo(up.get(), info) != 0) {
            return false;
        }
        remaining -= step;
        if (!info.SameObject(remaining == 0 ? rootIdentity : levels_[remaining - 1].identity)) return false;
        ancestor = std::move(up);
        current = ancestor.get();
    }
    return true;
}

}  // namespace zuvelo
