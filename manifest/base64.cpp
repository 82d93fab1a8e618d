#include "manifest/base64.h"

namespace zuvelo {

namespace {

constexpr int kInvalid = -1;

int SextetOf(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return kInvalid;
}

// Decodes one group of four characters, of which the last `padding` are "=".
bool DecodeGroup(std::string_view group, size_t padding, std::vector<uint8_t>& out) {
    uint32_t bits = 0;
    for (size_t i = 0; i < 4; ++i) {
        const int sextet = i < 4 - padding ? SextetOf(group[i]) : 0;
        if (sextet == kInvalid || (i >= 4 - padding && group[i] != '=')) return false;
        bits = (bits << 6) | static_cast<uint32_t>(sextet);
    }
    const size_t bytes = 3 - padding;
    // The bits below the last kept byte must be zero, or two texts would decode alike.
    if ((bits & ((1u << (8 * padding)) - 1)) != 0) return false;
    for (size_t i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(bits >> (16 - 8 * i)));
    return true;
}

size_t PaddingOf(std::string_view group) {
    if (group[3] != '=') return 0;
    return group[2] == '=' ? 2 : 1;
}

}  // namespace

std::optional<std::vector<uint8_t>> DecodeBase64(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::vector<uint8_t> out;
    out.reserve(text.size() / 4 * 3);
    for (size_t at = 0; at < text.size(); at += 4) {
        const std::string_view group = text.substr(at, 4);
        const bool last = at + 4 == text.size();
        const size_t padding = last ? PaddingOf(group) : 0;
        if (!DecodeGroup(group, padding, out)) return std::nullopt;
    }
    return out;
}

}  // namespace zuvelo
