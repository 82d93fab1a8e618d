#pragma once

#include <string_view>

// CompareStringOrdinal with case ignored: how the registry compares key and value
// names, and how paths are told apart.
namespace zuvelo::platform {

// Equal after the simple upper-case mapping of each character of the Basic
// Multilingual Plane (one character to one). Never throws.
bool OrdinalEqualIgnoreCase(std::wstring_view a, std::wstring_view b) noexcept;

}  // namespace zuvelo::platform
