#pragma once

#include <string_view>

// CompareStringOrdinal with case ignored: how the registry compares key and value
// names, and how paths are told apart.
namespace zuvelo::platform {

// Equal after the simple upper-case mapping of each character of the Basic
// Multilingual Plane (one character to one). Never throws.
bool OrdinalEqualIgnoreCase(std::wstring_view a, std::wstring_view b) noexcept;

// The same upper-casing as an order: negative, 0 or positive as a sorts before,
// with or after b (a proper prefix sorts first). Never throws.
int CompareOrdinalIgnoreCase(std::wstring_view a, std::wstring_view b) noexcept;

}  // namespace zuvelo::platform
