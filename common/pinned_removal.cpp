#include "common/pinned_removal.h"

#include <algorithm>
#include <string_view>
#include <utility>
#include <vector>

#include "common/paths.h"
#include "common/text.h"
#include "platform/path_identity.h"
#include "platform/win32_error.h"

namespace zuvelo {

namespace {

namespace win32 = platform::win32;

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

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

// 0 when the handle's final path is `expected` (compared as the file system compares names;
// the exact spelling, the usual case, is recognised without decoding). Failing to read it
// gives the system's error, a different place 5.
SystemError FinalPathIs(int handle, const std::string& expectedUtf8, const std::wstring& expected) {
    std::string current;
    if (const uint32_t err = platform::ReadFinalPath(handle, current)) return err;
    while (current.size() > 1 && current.back() == static_cast<char>(kNativeSeparator)) current.pop_back();
    if (!expectedUtf8.empty() && current == expectedUtf8) return {};
    std::wstring wide;
    try {
        wide = Utf8ToWide(current);
    } catch (...) {
        return win32::kInvalidName;
    }
    return platform::SamePathText(wide, expected) ? SystemError() : SystemError(win32::kAccessDenied);
}

// 0 when the root's handle still reads the final path it was pinned with.
SystemError RootStillInPlace(const PinnedRoot& root) {
    return FinalPathIs(root.handle.get(), root.finalPathUtf8, root.finalPath);
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

SystemError GetFinalPathFromHandle(int handle, std::wstring& out) noexcept {
    try {
        std::string native;
        if (const uint32_t err = platform::ReadFinalPath(handle, native)) return err;
        out = Utf8ToWide(native);
        return {};
    } catch (...) {
        return win32::kInvalidName;
    }
}

SystemError OpenVerifiedHandle(const std::wstring& path, PinnedRoot& out) noexcept {
    try {
        platform::UniqueFd handle;
        if (const uint32_t err = platform::OpenForRemoval(NativePath(path), handle)) return err;
        platform::HandleInfo info;
        if (const uint32_t err = platform::QueryHandleInfo(handle.get(), info)) return err;
        // A file, a link (opened as itself) or anything else.
        if (!info.IsDirectory()) return win32::kAccessDenied;
        bool mountPoint = false;
        if (const uint32_t err = platform::IsMountPoint(handle.get(), mountPoint)) return err;
        if (mountPoint) return win32::kAccessDenied;  // a mounted folder is a reparse point
        std::wstring finalPath;
        if (const SystemError err = GetFinalPathFromHandle(handle.get(), finalPath)) return err;
        finalPath = TrimFinalPath(finalPath);
        std::wstring resolved;
        if (const SystemError err = ResolveFullPath(path, resolved)) return err;
        // Reached through a link, or moved meanwhile.
        if (!platform::SamePathText(finalPath, resolved)) return win32::kAccessDenied;
        out.extendedPath = ToExtendedLengthPath(path);
        out.finalPathUtf8 = WideToUtf8(finalPath);
        out.finalPath = std::move(finalPath);
        out.held.Clear();
        out.identity = info;
        out.handle = std::move(handle);
        return {};
    } catch (...) {
        return win32::kInvalidName;
    }
}

SystemError HandleLiesUnderRoot(const PinnedRoot& root, int handle, const std::string& relativeUtf8) noexcept {
    try {
        std::wstring finalPath;
        if (const SystemError err = GetFinalPathFromHandle(handle, finalPath)) return err;
        const std::wstring expected = ExpectedPathUnder(root.finalPath, Utf8ToWide(relativeUtf8));
        if (platform::SamePathText(TrimFinalPath(finalPath), expected)) return {};
        return win32::kAccessDenied;
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
    return ResolveFullPath(fullPath, resolved).ok() && platform::SamePathText(resolved, expected);
}

}  // namespace

SystemError DeleteUnderPinnedRoot(const PinnedRoot& root, const std::wstring& fullPath,
                                  const std::string& relativeUtf8) noexcept {
    const auto refuse = [](uint32_t code) { return SystemError::Refusal(code); };
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
        if (const SystemError err = RootStillInPlace(root)) return refuse(err.code());
        if (!NamesPlaceUnderRoot(root, fullPath, relative)) return refuse(win32::kAccessDenied);

        // 3. The item's folder, reached from the root one component at a time (a refusal
        // when a link or another mount stands on the way).
        const size_t cut = relativeUtf8.find_last_of("\\/");
        const bool inRoot = cut == std::string::npos;
        const std::string_view folder = inRoot ? std::string_view() : std::string_view(relativeUtf8).substr(0, cut);
        const std::string name = inRoot ? relativeUtf8 : relativeUtf8.substr(cut + 1);
        int parentFd = -1;
        if (const SystemError err = root.held.Reach(root.handle.get(), root.identity, folder, parentFd)) return err;

        // 4-5. The item itself, opened relative to its folder as it is (a link is not
        // followed); a read-only one is made writable through that handle.
        platform::UniqueFd item;
        if (const uint32_t err = platform::OpenForRemovalAt(parentFd, name, item)) return err;
        platform::HandleInfo info;
        if (const uint32_t err = platform::QueryHandleInfo(item.get(), info)) return err;
        if (info.IsReadOnly()) {
            if (const uint32_t err = platform::SetWritableThroughHandle(item.get(), true)) return err;
        }

        // 6. Deleted through its handle, or by its name once that still holds it.
        return platform::RemoveHeld(parentFd, name, item.get());
    } catch (...) {
        return refuse(win32::kInvalidName);
    }
}

SystemError DeletePinnedRoot(PinnedRoot& root) noexcept {
    try {
        if (!root.IsPinned()) return win32::kInvalidHandle;
        root.held.Clear();  // nothing inside is held any more
        platform::HandleInfo info;
        if (const uint32_t err = platform::QueryHandleInfo(root.handle.get(), info)) return err;
        if (const SystemError err = RootStillInPlace(root)) return err;
        const std::filesystem::path finalPath = NativePath(root.finalPath);
        // A root itself, or not absolute.
        if (!finalPath.is_absolute() || !finalPath.has_relative_path()) return win32::kAccessDenied;
        if (info.IsReadOnly()) {
            if (const uint32_t err = platform::SetWritableThroughHandle(root.handle.get(), true)) return err;
        }
        return platform::RemoveHeldFolder(root.handle.get(), finalPath);
    } catch (...) {
        return win32::kInvalidName;
    }
}

}  // namespace zuvelo
