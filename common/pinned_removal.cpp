#include "common/pinned_removal.h"

#include <algorithm>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include "common/paths.h"
#include "common/text.h"
#include "platform/compare_string.h"
#include "platform/path_identity.h"
#include "platform/win32_error.h"

namespace zuvelo {

namespace {

namespace win32 = platform::win32;

bool StartsWith(const std::wstring& text, std::wstring_view prefix) {
    return text.size() >= prefix.size() && std::wstring_view(text).substr(0, prefix.size()) == prefix;
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

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

size_t SeparatorCount(const std::string& path) {
    return static_cast<size_t>(std::count_if(path.begin(), path.end(), [](char c) { return c == '\\' || c == '/'; }));
}

// root.finalPath + separator + relative, either separator read as the native one.
std::wstring ExpectedPathUnder(const std::wstring& rootFinal, std::wstring relative) {
    std::replace_if(relative.begin(), relative.end(), IsSeparator, kNativeSeparator);
    std::wstring expected = rootFinal;
    if (expected.empty() || expected.back() != kNativeSeparator) expected.push_back(kNativeSeparator);
    return expected + relative;
}

// Whether the handle's final path is `expected` (compared as the file system compares names; the
// exact spelling, the usual case, is recognised without decoding). Failing to read
// it gives the system's error (never 0), a different place 5.
bool FinalPathIs(int handle, const std::string& expectedUtf8, const std::wstring& expected, uint32_t& win32Error) {
    std::string current;
    if (const uint32_t err = platform::ReadFinalPath(handle, current)) {
        win32Error = err;
        return false;
    }
    while (current.size() > 1 && current.back() == static_cast<char>(kNativeSeparator)) current.pop_back();
    if (!expectedUtf8.empty() && current == expectedUtf8) return true;
    std::wstring wide;
    try {
        wide = Utf8ToWide(current);
    } catch (...) {
        win32Error = win32::kInvalidName;
        return false;
    }
    if (platform::SamePathText(wide, expected)) return true;
    win32Error = win32::kAccessDenied;
    return false;
}

// The root's handle still reads the final path it was pinned with.
bool RootStillInPlace(const PinnedRoot& root, uint32_t& win32Error) {
    return FinalPathIs(root.handle.get(), root.finalPathUtf8, root.finalPath, win32Error);
}

}  // namespace

bool RemovalEntryDeeperFirst(const RemovalEntry& a, const RemovalEntry& b) {
    return SeparatorCount(a.relativePath) > SeparatorCount(b.relativePath);
}

void SortDeeperFirst(std::vector<RemovalEntry>& entries) {
    std::vector<std::pair<size_t, size_t>> order;  // (depth, index)
    order.reserve(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) order.emplace_back(SeparatorCount(entries[i].relativePath), i);
    std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<RemovalEntry> sorted;
    sorted.reserve(entries.size());
    for (const auto& [depth, index] : order) sorted.push_back(std::move(entries[index]));
    entries = std::move(sorted);
}

std::wstring ToExtendedLengthPath(const std::wstring& path) {
    if (path.find(L'\0') != std::wstring::npos) throw std::invalid_argument("Path contains an embedded NUL");
    std::wstring text = path;
    std::replace(text.begin(), text.end(), L'/', L'\\');
    if (StartsWith(text, L"\\\\?\\") || StartsWith(text, L"\\??\\") || StartsWith(text, L"\\\\.\\")) return text;
    if (StartsWith(text, L"\\\\")) return L"\\\\?\\UNC\\" + text.substr(2);
    if (text.size() >= 3 && text[1] == L':' && text[2] == L'\\') return L"\\\\?\\" + text;
    return text;
}

std::wstring StripExtendedLengthPrefix(std::wstring path) {
    std::replace(path.begin(), path.end(), L'/', L'\\');
    if (StartsWith(path, L"\\\\?\\UNC\\") || StartsWith(path, L"\\??\\UNC\\")) {
        path = L"\\\\" + path.substr(8);
    } else if (StartsWith(path, L"\\\\?\\") || StartsWith(path, L"\\??\\")) {
        path.erase(0, 4);
    }
    while (path.size() > 1 && IsSeparator(path.back())) path.pop_back();
    return path;
}

bool PathsEqualIgnoreCase(const std::wstring& a, const std::wstring& b) noexcept {
    constexpr size_t kLimit = size_t{1} << 31;
    if (a.size() >= kLimit || b.size() >= kLimit) return false;
    return platform::OrdinalEqualIgnoreCase(a, b);
}

std::wstring TrimFinalPath(std::wstring path) {
    while (path.size() > 1 && path.back() == kNativeSeparator) path.pop_back();
    return path;
}

bool GetFinalPathFromHandle(int handle, std::wstring& out, uint32_t* win32Error) noexcept {
    uint32_t err = 0;
    try {
        std::string native;
        err = platform::ReadFinalPath(handle, native);
        if (err == 0) {
            out = Utf8ToWide(native);
            return true;
        }
    } catch (...) {
        err = win32::kInvalidName;
    }
    if (win32Error) *win32Error = err;
    return false;
}

bool ResolveFullPath(const std::wstring& path, std::wstring& out, uint32_t& win32Error) noexcept {
    try {
        if (path.empty() || path.find(L'\0') != std::wstring::npos) {
            win32Error = win32::kInvalidName;
            return false;
        }
        std::filesystem::path full = NativePath(path);
        if (!full.is_absolute()) {
            std::error_code error;
            const std::filesystem::path current = std::filesystem::current_path(error);
            if (error) {
                win32Error = platform::Win32ErrorFromErrorCode(error);
                return false;
            }
            full = current / full;
        }
        // ".", ".." and doubled separators fold lexically; ".." never climbs above the root.
        out = TrimFinalPath(WidePath(full.lexically_normal()));
        return true;
    } catch (...) {
        win32Error = win32::kInvalidName;
        return false;
    }
}

bool OpenVerifiedHandle(const std::wstring& path, PinnedRoot& out, uint32_t& win32Error,
                        uint32_t /*desiredAccess*/) noexcept {
    win32Error = 0;
    try {
        platform::UniqueFd handle;
        if ((win32Error = platform::OpenForRemoval(NativePath(path), handle))) return false;
        platform::HandleInfo info;
        if ((win32Error = platform::QueryHandleInfo(handle.get(), info))) return false;
        if (!info.IsDirectory()) {  // a file, a link (opened as itself) or anything else
            win32Error = win32::kAccessDenied;
            return false;
        }
        bool mountPoint = false;
        if ((win32Error = platform::IsMountPoint(handle.get(), mountPoint))) return false;
        if (mountPoint) {  // a mounted folder is a reparse point
            win32Error = win32::kAccessDenied;
            return false;
        }
        std::wstring finalPath;
        if (!GetFinalPathFromHandle(handle.get(), finalPath, &win32Error)) return false;
        finalPath = TrimFinalPath(finalPath);
        std::wstring resolved;
        if (!ResolveFullPath(path, resolved, win32Error)) return false;
        if (!platform::SamePathText(finalPath, resolved)) {  // reached through a link, or moved meanwhile
            win32Error = win32::kAccessDenied;
            return false;
        }
        out.extendedPath = ToExtendedLengthPath(path);
        out.finalPathUtf8 = WideToUtf8(finalPath);
        out.finalPath = std::move(finalPath);
        out.held.Clear();
        out.identity = info;
        out.handle = std::move(handle);
        return true;
    } catch (...) {
        win32Error = win32::kInvalidName;
        return false;
    }
}

bool HandleLiesUnderRoot(const PinnedRoot& root, int handle, const std::string& relativeUtf8,
                         uint32_t& win32Error) noexcept {
    try {
        std::wstring finalPath;
        if (!GetFinalPathFromHandle(handle, finalPath, &win32Error)) return false;
        const std::wstring expected = ExpectedPathUnder(root.finalPath, Utf8ToWide(relativeUtf8));
        if (platform::SamePathText(TrimFinalPath(finalPath), expected)) return true;
        win32Error = win32::kAccessDenied;
        return false;
    } catch (...) {
        win32Error = win32::kInvalidName;
        return false;
    }
}

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

uint32_t HeldFolders::Reach(const PinnedRoot& root, std::string_view relativeFolder, int& fd, bool& unsafe) {
    unsafe = false;
    if (!root.IsPinned()) return win32::kInvalidHandle;
    std::string_view rest;
    KeepLeading(relativeFolder, rest);
    if (!levels_.empty() && (!levels_.back().handle.valid() || !DeepestStillInPlace(root))) {
        Clear();  // walked afresh from the root
        rest = relativeFolder;
    }
    ComponentReader components(rest);
    for (std::string_view component; components.Next(component);) {
        const int parent = levels_.empty() ? root.handle.get() : levels_.back().handle.get();
        Level level{std::string(component), {}, {}, 0};
        if (const uint32_t err = platform::OpenForRemovalAt(parent, level.name, level.handle)) return err;
        if (const uint32_t err = platform::QueryHandleInfo(level.handle.get(), level.identity)) return err;
        const platform::HandleInfo& info = level.identity;
        if (info.IsSymlink() || (info.IsDirectory() && info.OnOtherMountThan(root.identity))) {
            unsafe = true;  // a folder on the way became a link or a mount
            return win32::kAccessDenied;
        }
        if (!info.IsDirectory()) return win32::kPathNotFound;
        if (!path_.empty()) path_ += static_cast<char>(kNativeSeparator);
        path_ += level.name;
        level.end = path_.size();
        levels_.push_back(std::move(level));
        if (levels_.size() > kHeldFolderLimit) levels_[levels_.size() - kHeldFolderLimit - 1].handle.reset();
    }
    fd = levels_.empty() ? root.handle.get() : levels_.back().handle.get();
    return 0;
}

bool HeldFolders::DeepestStillInPlace(const PinnedRoot& root) const {
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
        if (!info.SameObject(remaining == 0 ? root.identity : levels_[remaining - 1].identity)) return false;
        ancestor = std::move(up);
        current = ancestor.get();
    }
    return true;
}

uint32_t OpenFolderUnderPinnedRoot(const PinnedRoot& root, std::string_view relativeFolder, int& fd,
                                   bool& unsafe) noexcept {
    unsafe = false;
    try {
        return root.held.Reach(root, relativeFolder, fd, unsafe);
    } catch (...) {
        return win32::kInvalidName;
    }
}

namespace {

// fullPath names the place root.finalPath + separator + relativeUtf8: spelt exactly so (as
// a walk of the tree spells it), or so once resolved.
bool NamesPlaceUnderRoot(const PinnedRoot& root, const std::wstring& fullPath, const std::wstring& relative) {
    const std::wstring expected = ExpectedPathUnder(root.finalPath, relative);
    std::wstring spelt = fullPath;
    std::replace_if(spelt.begin(), spelt.end(), IsSeparator, kNativeSeparator);
    if (spelt == expected) return true;
    std::wstring resolved;
    uint32_t ignored = 0;
    return ResolveFullPath(fullPath, resolved, ignored) && platform::SamePathText(resolved, expected);
}

}  // namespace

bool DeleteUnderPinnedRoot(const PinnedRoot& root, const std::wstring& fullPath, const std::string& relativeUtf8,
                           uint32_t& win32Error, bool& refusedUnsafe) noexcept {
    win32Error = 0;
    refusedUnsafe = false;
    const auto refuse = [&](uint32_t code) {
        win32Error = code;
        refusedUnsafe = true;
        return false;
    };
    try {
        // 1. Only plain relative paths (IsSafeRelativePathUtf8, converting once).
        std::wstring relative;
        try {
            if (relativeUtf8.find('\0') != std::string::npos) return refuse(win32::kInvalidName);
            relative = Utf8ToWide(relativeUtf8);
        } catch (...) {
            return refuse(win32::kInvalidName);
        }
        if (!IsSafeRelativePath(relative)) return refuse(win32::kInvalidName);
        // 2. The root is pinned and has not moved; the caller names this place below it.
        if (!root.IsPinned()) return refuse(win32::kAccessDenied);
        uint32_t err = 0;
        if (!RootStillInPlace(root, err)) return refuse(err);
        if (!NamesPlaceUnderRoot(root, fullPath, relative)) return refuse(win32::kAccessDenied);

        // 3. The item's folder, reached from the root one component at a time.
        const size_t cut = relativeUtf8.find_last_of("\\/");
        const bool inRoot = cut == std::string::npos;
        const std::string_view folder = inRoot ? std::string_view() : std::string_view(relativeUtf8).substr(0, cut);
        const std::string name = inRoot ? relativeUtf8 : relativeUtf8.substr(cut + 1);
        int parentFd = -1;
        bool unsafe = false;
        if ((err = root.held.Reach(root, folder, parentFd, unsafe))) {
            if (unsafe) return refuse(err);
            win32Error = err;
            return false;
        }

        // 4-5. The item itself, opened relative to its folder as it is (a link is not
        // followed); a read-only one is made writable through that handle.
        platform::UniqueFd item;
        if ((win32Error = platform::OpenForRemovalAt(parentFd, name, item))) return false;
        platform::HandleInfo info;
        if ((win32Error = platform::QueryHandleInfo(item.get(), info))) return false;
        if (info.IsReadOnly() && (win32Error = platform::SetWritableThroughHandle(item.get(), true))) return false;

        // 6. Deleted through its handle, or by its name once that still holds it.
        return (win32Error = platform::RemoveHeld(parentFd, name, item.get())) == 0;
    } catch (...) {
        return refuse(win32::kInvalidName);
    }
}

bool DeletePinnedRoot(PinnedRoot& root, uint32_t& win32Error) noexcept {
    win32Error = 0;
    try {
        if (!root.IsPinned()) {
            win32Error = win32::kInvalidHandle;
            return false;
        }
        root.held.Clear();  // nothing inside is held any more
        platform::HandleInfo info;
        if ((win32Error = platform::QueryHandleInfo(root.handle.get(), info))) return false;
        if (!RootStillInPlace(root, win32Error)) return false;
        const std::filesystem::path finalPath = NativePath(root.finalPath);
        if (!finalPath.is_absolute() || !finalPath.has_relative_path()) {  // a root itself, or not absolute
            win32Error = win32::kAccessDenied;
            return false;
        }
        if (info.IsReadOnly() && (win32Error = platform::SetWritableThroughHandle(root.handle.get(), true))) {
            return false;
        }
        return (win32Error = platform::RemoveHeldFolder(root.handle.get(), finalPath)) == 0;
    } catch (...) {
        win32Error = win32::kInvalidName;
        return false;
    }
}

}  // namespace zuvelo
