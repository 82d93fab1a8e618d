#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace zuvelo {

// The message source behind FormatWin32Error, injectable for tests.
using Win32MessageLookup = std::function<std::optional<std::wstring>(uint32_t)>;
std::wstring FormatWin32ErrorWith(uint32_t code, const Win32MessageLookup& lookup);

}  // namespace zuvelo
