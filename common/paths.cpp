#include "common/paths.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "common/text.h"
#include "platform/file_io.h"
#include "platform/handles.h"
#include "platform/path_identity.h"
#include "platform/utf8.h"
#include "platform/win32_error.h"

namespace zuvelo {

namespace {

namespace fs = std::filesystem;

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }
bool IsAsciiLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

// The forms \\?\, \\.\ and \??\ with either separator.
bool HasDevicePrefix(const std::wstring& p) {
    if (p.size() < 4) return false;
    const bool slashes = IsSeparator(p[0]) && IsSeparator(p[3]);
    const bool questionForm = IsSeparator(p[1]) && p[2] == L'?';
    const bool dotForm = IsSeparator(p[1]) && p[2] == L'.';
    const bool ntForm = p[1] == L'?' && p[2] == L'?';
    return slashes && (questionForm || dotForm || ntForm);
}

bool HasRootName(const std::wstring& p) {
    if (p.size() >= 2 && IsAsciiLetter(p[0]) && p[1] == L':') return true;
    if (p.size() >= 3 && IsSeparator(p[0]) && IsSeparator(p[1]) && !IsSeparator(p[2])) return true;
    return HasDevicePrefix(p);
}

// Only stems of three or four characters can be reserved; nothing is copied for the others.
bool IsReservedDeviceName(std::wstring_view component) {
    const std::wstring_view stem = component.substr(0, component.find(L'.'));
    if (stem.size() != 3 && stem.size() != 4) return false;
    wchar_t upper[4] = {};
    std::transform(stem.begin(), stem.end(), upper,
                   [](wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c; });
    const std::wstring_view head(upper, 3);
    if (stem.size() == 3) return head == L"CON" || head == L"PRN" || head == L"AUX" || head == L"NUL";
    const wchar_t digit = upper[3];
    const bool isDigit = (digit >= L'1' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' || digit == L'\u00B3';
    return (head == L"COM" || head == L"LPT") && isDigit;
}

// NUL, the other control characters and the seven characters no file name holds.
bool IsForbiddenCharacter(wchar_t c) {
    switch (c) {
        case L'<': case L'>': case L':': case L'"': case L'|': case L'?': case L'*': return true;
        default: return static_cast<uint32_t>(c) <= 31;
    }
}

// The rules for a whole component; its characters are checked as the path is read.
bool IsSafeComponent(std::wstring_view c) {
    if (c.empty() || c == L"." || c == L"..") return false;
    if (c.back() == L'.' || c.back() == L' ') return false;
    return !IsReservedDeviceName(c);
}

// Components of a canonical path, without the empty one a trailing separator leaves.
std::vector<fs::path> CanonicalComponents(const fs::path& p) {
    std::vector<fs::path> parts;
    for (const fs::path& part : fs::weakly_canonical(p)) {
        if (!part.empty()) parts.push_back(part);
    }
    return parts;
}

}  // namespace

bool IsSafeRelativePath(const std::wstring& path) {
    try {
        if (path.empty() || HasRootName(path) || IsSeparator(path.front())) return false;
        // One pass: every character a valid scalar value and allowed, every component safe.
        const std::wstring_view text(path);
        size_t start = 0;
        for (size_t pos = 0; pos < text.size();) {
            if (IsSeparator(text[pos])) {
                if (!IsSafeComponent(text.substr(start, pos - start))) return false;
                start = ++pos;
            } else if (IsForbiddenCharacter(text[pos]) || !platform::NextWideScalar(text, pos)) {
                return false;
            }
        }
        return IsSafeComponent(text.substr(start));
    } catch (...) {
        return false;
    }
}

bool IsSafeRelativePathUtf8(const std::string& path) {
    try {
        if (path.find('\0') != std::string::npos) return false;
        return IsSafeRelativePath(Utf8ToWide(path));
    } catch (...) {
        return false;
    }
}

bool IsPathWithin(const fs::path& path, const fs::path& base) {
    const std::vector<fs::path> pathParts = CanonicalComponents(path);
    const std::vector<fs::path> baseParts = CanonicalComponents(base);
    if (pathParts.size() < baseParts.size()) return false;
    return std::equal(baseParts.begin(), baseParts.end(), pathParts.begin(),
                      [](const fs::path& a, const fs::path& b) { return a.native() == b.native(); });
}

fs::path NativePathUtf8(const std::string& path) {
    std::string native = path;
    const char separator = static_cast<char>(kNativeSeparator);
    std::replace(native.begin(), native.end(), separator == '/' ? '\\' : '/', separator);
    return PathFromUtf8(native);
}

fs::path NativePath(const std::wstring& path) { return NativePathUtf8(WideToUtf8(path)); }

std::wstring JoinPathText(const std::wstring& base, const std::wstring& name) { return base + kNativeSeparator + name; }

std::wstring WidePath(const fs::path& path) { return Utf8ToWide(Utf8FromPath(path)); }

bool IsAbsoluteNonRootPath(const std::wstring& path) {
    const std::filesystem::path native = NativePath(path);
    return native.is_absolute() && !native.lexically_normal().relative_path().empty();
}

bool NamesSameFolder(const std::wstring& a, const std::wstring& b) noexcept {
    try {
        return platform::NameSameFolder(NativePath(a), NativePath(b));
    } catch (...) {
        return false;
    }
}

namespace {

namespace win32 = platform::win32;

[[noreturn]] void Throw(const char* operation, const fs::path& path, uint32_t err) {
    throw fs::filesystem_error(operation, path, platform::ErrorCodeFromWin32(err));
}

}  // namespace

bool PathExists(const fs::path& path) {
    platform::FileStat st;
    const uint32_t err = platform::StatPath(path, st);
    if (err != 0 && !win32::IsNotFound(err)) Throw("exists", path, err);
    return err == 0;
}

bool IsFolder(const fs::path& path) {
    platform::FileStat st;
    const uint32_t err = platform::StatPath(path, st);
    if (err != 0 && !win32::IsNotFound(err)) Throw("is_directory", path, err);
    return err == 0 && st.IsDirectory();
}

bool IsEmptyFolder(const fs::path& path) {
    platform::UniqueFd listing;
    if (const uint32_t err = platform::OpenDirectoryForListing(path, listing)) Throw("is_empty", path, err);
    platform::DirectoryReader reader(std::move(listing));
    platform::DirectoryReader::Entry entry;
    bool done = false;
    if (const uint32_t err = reader.Next(entry, done)) Throw("is_empty", path, err);
    return done;
}

uint32_t CreateFolders(const fs::path& path) {
    // Up to the nearest folder that is there, then each missing one down from it.
    std::vector<fs::path> missing;
    for (fs::path folder = path; !folder.empty(); folder = folder.parent_path()) {
        platform::FileStat st;
        const uint32_t err = platform::StatPath(folder, st);
        if (err == 0) {
            if (!st.IsDirectory()) return win32::kAlreadyExists;
            break;
        }
        if (!win32::IsNotFound(err)) return err;
        missing.push_back(folder);
        if (folder == folder.parent_path() || !folder.has_relative_path()) break;  // a root that is not there
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        const uint32_t err = platform::CreateFolder(*it);
        platform::FileStat made;
        if (err == win32::kAlreadyExists && platform::StatPath(*it, made) == 0 && made.IsDirectory()) continue;
        if (err != 0) return err;  // a folder made meanwhile is as good
    }
    return 0;
}

}  // namespace zuvelo
