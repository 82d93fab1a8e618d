#include "platform/path_identity.h"

#include <windows.h>

#include <optional>
#include <string>

#include "platform/compare_string.h"

namespace zuvelo::platform {

namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// GetFullPathNameW without trailing separators (a drive's root keeps its own).
std::optional<std::wstring> FullPath(const std::filesystem::path& path) {
    const std::wstring& text = path.native();
    const DWORD size = ::GetFullPathNameW(text.c_str(), 0, nullptr, nullptr);
    if (size == 0) return std::nullopt;
    std::wstring full(size, L'\0');
    const DWORD length = ::GetFullPathNameW(text.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size) return std::nullopt;
    full.resize(length);
    while (full.size() > 3 && IsSeparator(full.back())) full.pop_back();
    return full;
}

}  // namespace

bool NameSameFolder(const std::filesystem::path& a, const std::filesystem::path& b) noexcept {
    try {
        if (a.empty() || b.empty()) return false;
        const std::optional<std::wstring> fullA = FullPath(a);
        const std::optional<std::wstring> fullB = FullPath(b);
        return fullA && fullB && SamePathText(*fullA, *fullB);
    } catch (...) {
        return false;
    }
}

bool SamePathText(std::wstring_view a, std::wstring_view b) noexcept {
    constexpr size_t kLimit = size_t{1} << 31;
    if (a.size() >= kLimit || b.size() >= kLimit) return false;
    return OrdinalEqualIgnoreCase(a, b);
}

}  // namespace zuvelo::platform
