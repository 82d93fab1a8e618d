#include "platform/compare_string.h"

#include <windows.h>

#include <algorithm>
#include <climits>

namespace zuvelo::platform {

int CompareOrdinalIgnoreCase(std::wstring_view a, std::wstring_view b) noexcept {
    // Names compared here (registry keys and values, path components) are far below INT_MAX.
    const auto length = [](std::wstring_view text) { return static_cast<int>(std::min<size_t>(text.size(), INT_MAX)); };
    return ::CompareStringOrdinal(a.data(), length(a), b.data(), length(b), TRUE) - CSTR_EQUAL;
}

bool OrdinalEqualIgnoreCase(std::wstring_view a, std::wstring_view b) noexcept {
    return CompareOrdinalIgnoreCase(a, b) == 0;
}

}  // namespace zuvelo::platform
