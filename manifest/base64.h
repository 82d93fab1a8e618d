#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace zuvelo {

// Standard alphabet with "=" padding, read strictly: no white space, no missing
// or extra padding, no stray bits in the last character. Nothing on any fault.
std::optional<std::vector<uint8_t>> DecodeBase64(std::string_view text);

}  // namespace zuvelo
