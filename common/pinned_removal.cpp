#include "common/pinned_removal.h"

#include <algorithm>
#include <stdexcept>
#include <string_view>
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

// The components of a relative path, split at "\" and "/".
std::vector<std::string> SplitRelative(const std::string& relative) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= relative.size()) {
        const size_t end = relative.find_first_of("\\/", start);
        const size_t stop = end == std::string::npos ? relative.size() : end;
        parts.push_back(relative.substr(start, stop - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return parts;
}

// root.finalPath + separator + relative, either separator read as the native one.
std::wstring ExpectedPathUnder(const std::wstring& rootFinal, const std::string& relativeUtf8) {
    std::wstring relative = Utf8ToWide(relativeUtf8);
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
    const auto depth = [](const std::string& path) {
        return std::count_if(path.begin(), path.end(), [](char c) { return c == '\\' || c == '/'; });
    };
    return depth(a.relativePath) > depth(b.relativePath);
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
        if ((win32Error = platform::OpenPathHandle(NativePath(path), handle))) return false;
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
        out.lastParent = {};
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
        if (platform::SamePathText(TrimFinalPath(finalPath), ExpectedPathUnder(root.finalPath, relativeUtf8))) {
            return true;
        }
        win32Error = win32::kAccessDenied;
        return false;
    } catch (...) {
        win32Error = win32::kInvalidName;
        return false;
    }
}

namespace {

// Walks from the root's handle to the folder `parts[0..count)`, one component at
// a time: never through a link, never into another mount.
bool OpenParentFolder(const PinnedRoot& root, const std::vector<std::string>& parts, size_t count,
                      platform::UniqueFd& out, uint32_t& win32Error, bool& refusedUnsafe) {
    platform::UniqueFd current;
    int currentFd = root.handle.get();
    for (size_t i = 0; i < count; ++i) {
        platform::UniqueFd next;
        if ((win32Error = platform::OpenPathHandleAt(currentFd, parts[i], next))) return false;
        platform::HandleInfo info;
        if ((win32Error = platform::QueryHandleInfo(next.get(), info))) return false;
        if (info.IsSymlink() || (info.IsDirectory() && info.OnOtherMountThan(root.identity))) {
            win32Error = win32::kAccessDenied;  // a folder on the way became a link or a mount
            refusedUnsafe = true;
            return false;
        }
        if (!info.IsDirectory()) {
            win32Error = win32::kPathNotFound;
            return false;
        }
        current = std::move(next);
        currentFd = current.get();
    }
    out = std::move(current);
    return true;
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
        // 1. Only plain relative paths.
        if (!IsSafeRelativePathUtf8(relativeUtf8)) return refuse(win32::kInvalidName);
        // 2. The root is pinned and has not moved.
        if (!root.IsPinned()) return refuse(win32::kAccessDenied);
        uint32_t err = 0;
        if (!RootStillInPlace(root, err)) return refuse(err);
        // The full path the caller names is this place below the root.
        const std::wstring expected = ExpectedPathUnder(root.finalPath, relativeUtf8);
        std::wstring resolved;
        if (!ResolveFullPath(fullPath, resolved, err) || !platform::SamePathText(resolved, expected)) {
            return refuse(win32::kAccessDenied);
        }

        // 3. The item's folder, reached from the root and checked where it sits now.
        const std::vector<std::string> parts = SplitRelative(relativeUtf8);
        const std::string& name = parts.back();
        std::string parentRelative;
        for (size_t i = 0; i + 1 < parts.size(); ++i) parentRelative += (i ? "/" : "") + parts[i];
        int parentFd = root.handle.get();
        if (!parentRelative.empty()) {
            PinnedRoot::ParentFolder& cached = root.lastParent;
            const bool reuse = cached.handle.valid() && cached.relative == parentRelative &&
                               FinalPathIs(cached.handle.get(), cached.expectedUtf8, cached.expected, err);
            if (!reuse) {
                cached = {};
                platform::UniqueFd opened;
                if (!OpenParentFolder(root, parts, parts.size() - 1, opened, win32Error, refusedUnsafe)) return false;
                std::wstring parentExpected = ExpectedPathUnder(root.finalPath, parentRelative);
                std::string parentExpectedUtf8 = root.finalPathUtf8.empty() ? std::string() : WideToUtf8(parentExpected);
                if (!FinalPathIs(opened.get(), parentExpectedUtf8, parentExpected, err)) return refuse(err);
                cached.handle = std::move(opened);
                cached.relative = parentRelative;
                cached.expectedUtf8 = std::move(parentExpectedUtf8);
                cached.expected = std::move(parentExpected);
            }
            parentFd = cached.handle.get();
        }

        // 4-5. The item itself, as it is (a link is not followed); read-only is cleared
        // through a handle checked to lie at the expected place.
        platform::HandleInfo info;
        if ((win32Error = platform::QueryEntryInfo(parentFd, name, info))) return false;
        if (info.IsReadOnly()) {
            platform::UniqueFd second;
            if ((win32Error = platform::OpenPathHandleAt(parentFd, name, second))) return false;
            if (!HandleLiesUnderRoot(root, second.get(), relativeUtf8, err)) return refuse(err);
            platform::HandleInfo secondInfo;
            if ((win32Error = platform::QueryHandleInfo(second.get(), secondInfo))) return false;
            if (!secondInfo.SameObject(info)) return refuse(win32::kAccessDenied);
            if ((win32Error = platform::SetWritableThroughHandle(second.get(), true))) return false;
        }

        // 6. Delete the name relative to its folder's handle. A handle still held on the
        // folder or inside it would keep it (delete pending) until closed on Windows.
        if (info.IsDirectory()) {
            const std::string item = parentRelative.empty() ? name : parentRelative + "/" + name;
            const std::string& held = root.lastParent.relative;
            if (held == item || held.starts_with(item + "/")) root.lastParent = {};
        }
        if ((win32Error = platform::RemoveEntryAt(parentFd, name, info.IsDirectory()))) return false;
        return true;
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
        root.lastParent = {};  // nothing inside is held any more
        platform::HandleInfo info;
        if ((win32Error = platform::QueryHandleInfo(root.handle.get(), info))) return false;
        // Linux deletes by name: the root must still be where it was pinned, and the
        // name in its parent folder must still hold the pinned folder.
        if (!RootStillInPlace(root, win32Error)) return false;
        const std::filesystem::path finalPath = NativePath(root.finalPath);
        if (!finalPath.is_absolute() || !finalPath.has_relative_path()) {  // a root itself, or not absolute
            win32Error = win32::kAccessDenied;
            return false;
        }
        const std::string name = Utf8FromPath(finalPath.filename());
        platform::UniqueFd parent;
        if ((win32Error = platform::OpenPathHandle(finalPath.parent_path(), parent))) return false;
        platform::HandleInfo parentInfo;
        if ((win32Error = platform::QueryHandleInfo(parent.get(), parentInfo))) return false;
        if (!parentInfo.IsDirectory()) {
            win32Error = win32::kAccessDenied;
            return false;
        }
        platform::HandleInfo named;
        if ((win32Error = platform::QueryEntryInfo(parent.get(), name, named))) return false;
        if (!named.SameObject(info)) {
            win32Error = win32::kAccessDenied;
            return false;
        }
        if (info.IsReadOnly()) {
            if ((win32Error = platform::SetWritableThroughHandle(root.handle.get(), true))) return false;
        }
        if ((win32Error = platform::RemoveEntryAt(parent.get(), name, true))) return false;
        return true;
    } catch (...) {
        win32Error = win32::kInvalidName;
        return false;
    }
}

}  // namespace zuvelo
