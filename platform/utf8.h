#pragma once

#include <string>

// UTF-8 encoding of Unicode scalar values, for the layers that turn wide text
// into bytes (the text converters above; pipe names and file names here).
namespace zuvelo::platform {

// Appends c (a scalar value: at most U+10FFFF, no surrogate) as UTF-8.
inline void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// The UTF-8 of a wide text; empty when it holds a NUL, a surrogate code point or a
// value above U+10FFFF.
inline std::string Utf8FromWide(const std::wstring& text) {
    std::string out;
    for (const wchar_t wc : text) {
        const auto c = static_cast<char32_t>(wc);
        if (c == 0 || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return {};
        AppendUtf8(out, c);
    }
    return out;
}

}  // namespace zuvelo::platform
