#include "common/tree_walk.h"

#include <exception>
#include <limits>
#include <string>
#include <utility>

#include "common/paths.h"
#include "common/text.h"
#include "platform/win32_error.h"

namespace zuvelo {

namespace {

namespace win32 = platform::win32;
using Entry = platform::DirectoryReader::Entry;
using Stage = TreeWalkFailure::Stage;

constexpr char kSeparator = static_cast<char>(kNativeSeparator);
constexpr size_t kNoFrame = std::numeric_limits<size_t>::max();

bool MayBeFolder(const Entry& entry) {
    return entry.type == platform::DirectoryReader::Type::Directory ||
           entry.type == platform::DirectoryReader::Type::Unknown;
}

// One walk: a frame per folder from the root down to the one being listed; path_ holds the
// relative path of the deepest.
class Walk {
public:
    Walk(const WalkRoot& root, TreeVisitor& visitor, LookAt look) : root_(root), visitor_(visitor), look_(look) {}

    bool Run() {
        frames_.emplace_back();
        if (const SystemError err = visitor_.List({}, root_.handle, frames_.back().entries)) {
            return visitor_.Failed({Stage::List, {}, err}) != WalkStep::Stop;
        }
        folderFrame_ = 0;
        folderFd_ = root_.handle;
        while (!frames_.empty()) {
            Frame& top = frames_.back();
            if (top.next == top.entries.size()) {
                Leave();
                continue;
            }
            const Entry entry = std::move(top.entries[top.next++]);
            if (!Next(entry)) return false;
        }
        return true;
    }

private:
    struct Frame {
        std::vector<Entry> entries;
        size_t next = 0;
    };

    // One entry: looked at when it must be, visited, entered when it is a folder the
    // visitor wants entered. False when the walk stops.
    bool Next(const Entry& entry) {
        const std::string relative = path_.empty() ? entry.name : path_ + kSeparator + entry.name;
        platform::HandleInfo info;
        int folder = -1;
        const bool look = look_ == LookAt::EveryEntry || MayBeFolder(entry);
        if (look) {
            SystemError err = ListedFolder(folder);
            if (!err) err = platform::QueryEntryInfo(folder, entry.name, info);
            if (err) return visitor_.Failed({Stage::Look, relative, err}) != WalkStep::Stop;
        }
        const WalkStep step =
            visitor_.Visit({entry.name, relative, frames_.size() - 1, entry.type, look ? &info : nullptr, folder});
        if (step == WalkStep::Stop) return false;
        const bool enter = look && step == WalkStep::Continue && info.IsDirectory() &&
                           !info.OnOtherMountThan(root_.identity);
        return !enter || Enter(relative, info);
    }

    // The handle of the folder being listed, reached again when a folder below was since.
    SystemError ListedFolder(int& fd) {
        if (folderFrame_ != frames_.size() - 1) {
            if (frames_.size() == 1) {
                folderFd_ = root_.handle;
            } else if (const SystemError err = root_.held.Reach(root_.handle, root_.identity, path_, folderFd_)) {
                return err;
            }
            folderFrame_ = frames_.size() - 1;
        }
        fd = folderFd_;
        return {};
    }

    // Reaches the folder at relative, checks it is the one looked at and lists it.
    bool Enter(const std::string& relative, const platform::HandleInfo& looked) {
        folderFrame_ = kNoFrame;
        int fd = -1;
        SystemError err = root_.held.Reach(root_.handle, root_.identity, relative, fd);
        platform::HandleInfo opened;
        if (!err) err = platform::QueryHandleInfo(fd, opened);
        if (!err && !opened.SameObject(looked)) err = SystemError::Refusal(win32::kAccessDenied);  // swapped meanwhile
        if (err) return visitor_.Failed({Stage::Enter, relative, err}) != WalkStep::Stop;
        Frame below;
        if (const SystemError listed = visitor_.List(relative, fd, below.entries)) {
            return visitor_.Failed({Stage::List, relative, listed}) != WalkStep::Stop;
        }
        frames_.push_back(std::move(below));
        path_ = relative;
        folderFrame_ = frames_.size() - 1;
        folderFd_ = fd;
        return true;
    }

    // Back to the folder above once every entry of the deepest was met.
    void Leave() {
        frames_.pop_back();
        const size_t cut = path_.find_last_of(kSeparator);
        path_.resize(cut == std::string::npos ? 0 : cut);
        if (folderFrame_ >= frames_.size()) folderFrame_ = kNoFrame;
    }

    const WalkRoot& root_;
    TreeVisitor& visitor_;
    const LookAt look_;
    std::vector<Frame> frames_;
    std::string path_;
    size_t folderFrame_ = kNoFrame;  // the frame whose folder folderFd_ holds
    int folderFd_ = -1;
};

}  // namespace

WalkStep TreeVisitor::Failed(const TreeWalkFailure&) { return WalkStep::Stop; }

SystemError TreeVisitor::List(std::string_view, int fd, std::vector<platform::DirectoryReader::Entry>& entries) {
    return ListFolderEntries(fd, entries);
}

std::filesystem::path PathBelow(const std::filesystem::path& folder, std::string_view relative) {
    if (relative.empty()) return folder;
    const std::string text(relative);
    try {
        return folder / PathFromUtf8(text);
    } catch (const std::exception&) {
        return folder / std::filesystem::path(text);
    }
}

SystemError ListFolderEntries(int fd, std::vector<platform::DirectoryReader::Entry>& entries) {
    platform::UniqueFd listing;
    if (const uint32_t err = platform::OpenDirectoryForListing(fd, ".", listing)) return err;
    platform::DirectoryReader reader(std::move(listing));
    while (true) {
        platform::DirectoryReader::Entry entry;
        bool done = false;
        if (const uint32_t err = reader.Next(entry, done)) return err;
        if (done) return {};
        entries.push_back(std::move(entry));
    }
}

bool WalkTree(const WalkRoot& root, TreeVisitor& visitor, LookAt look) { return Walk(root, visitor, look).Run(); }

bool WalkFolder(const std::filesystem::path& folder, TreeVisitor& visitor, LookAt look) {
    platform::UniqueFd handle;
    platform::HandleInfo identity;
    uint32_t err = platform::OpenDirectoryForListing(folder, handle);
    if (err == 0) err = platform::QueryHandleInfo(handle.get(), identity);
    if (err != 0) return visitor.Failed({Stage::List, {}, err}) != WalkStep::Stop;
    HeldFolders held(&platform::OpenPathHandleAt);
    return WalkTree({handle.get(), identity, held}, visitor, look);
}

}  // namespace zuvelo
