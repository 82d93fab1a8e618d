#include "common/paths.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "common/text.h"
#include "platform/path_identity.h"

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

bool IsReservedDeviceName(const std::wstring& component) {
    std::wstring stem = component.substr(0, component.find(L'.'));
    std::transform(stem.begin(), stem.end(), stem.begin(),
                   [](wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c; });
    if (stem == L"CON" || stem == L"PRN" || stem == L"AUX" || stem == L"NUL") return true;
    if (stem.size() != 4) return false;
    const std::wstring head = stem.substr(0, 3);
    const wchar_t digit = stem[3];
    const bool isDigit = (digit >= L'1' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' || digit == L'\u00B3';
    return (head == L"COM" || head == L"LPT") && isDigit;
}

bool IsForbiddenCharacter(wchar_t c) {
    static constexpr std::wstring_view kForbidden = L"<>:\"|?*";
    return (c >= 1 && c <= 31) || kForbidden.find(c) != std::wstring_view::npos;
}

bool IsSafeComponent(const std::wstring& c) {
    if (c.empty() || c == L"." || c == L"..") return false;
    if (c.back() == L'.' || c.back() == L' ') return false;
    if (std::any_of(c.begin(), c.end(), IsForbiddenCharacter)) return false;
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
        if (path.empty() || path.find(L'\0') != std::wstring::npos) return false;
        WideToUtf8(path);
        if (HasRootName(path) || IsSeparator(path.front())) return false;
        size_t start = 0;
        while (true) {
            const size_t end = std::find_if(path.begin() + static_cast<std::ptrdiff_t>(start), path.end(), IsSeparator) -
                               path.begin();
            if (!IsSafeComponent(path.substr(start, end - start))) return false;
            if (end == path.size()) return true;
            start = end + 1;
        }
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

}  // namespace zuvelo
