#pragma once

#include <optional>
#include <string>
#include <string_view>

// UTF-8 encoding and decoding of Unicode scalar values, for the layers that convert
// between wide text and bytes (the text converters above; pipe names, file names and
// the wide calls of Windows here).
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

// Decodes one UTF-8 sequence at text[pos], advancing pos past it. Nothing for an overlong
// form, a surrogate, a value above U+10FFFF or a truncated sequence (pos then moves past the
// first byte only).
inline std::optional<char32_t> NextUtf8Scalar(std::string_view text, size_t& pos) {
    const auto lead = static_cast<unsigned char>(text[pos++]);
    if (lead < 0x80) return lead;
    int length;
    char32_t value;
    char32_t minimum;
    if ((lead & 0xE0) == 0xC0) {
        length = 1, value = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 2, value = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 3, value = lead & 0x07, minimum = 0x10000;
    } else {
        return std::nullopt;
    }
    size_t next = pos;
    for (int i = 0; i < length; ++i, ++next) {
        if (next >= text.size()) return std::nullopt;
        const auto byte = static_cast<unsigned char>(text[next]);
        if ((byte & 0xC0) != 0x80) return std::nullopt;
        value = (value << 6) | (byte & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return std::nullopt;
    pos = next;
    return value;
}

// Wide text is UTF-32 where wchar_t has 32 bits (Linux) and UTF-16 where it has 16 (Windows).
inline constexpr bool kWideIsUtf16 = sizeof(wchar_t) == 2;

// The scalar value at text[pos], advancing pos past it; nothing for a lone surrogate or a
// value above U+10FFFF (pos then moves past that one unit).
inline std::optional<char32_t> NextWideScalar(std::wstring_view text, size_t& pos) {
    const auto c = static_cast<char32_t>(text[pos++]);
    const bool high = c >= 0xD800 && c <= 0xDBFF;
    if (kWideIsUtf16 && high && pos < text.size()) {
        const auto low = static_cast<char32_t>(text[pos]);
        if (low >= 0xDC00 && low <= 0xDFFF) {
            ++pos;
            return 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        }
    }
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return std::nullopt;
    return c;
}

// Appends c (a scalar value) as wide text: a surrogate pair above U+FFFF in UTF-16.
inline void AppendWide(std::wstring& out, char32_t c) {
    if (kWideIsUtf16 && c >= 0x10000) {
        out += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
        out += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
        out += static_cast<wchar_t>(c);
    }
}

// The UTF-8 of a wide text; empty when it holds a NUL, a lone surrogate or a value
// above U+10FFFF.
inline std::string Utf8FromWide(const std::wstring& text) {
    std::string out;
    for (size_t pos = 0; pos < text.size();) {
        const std::optional<char32_t> c = NextWideScalar(text, pos);
        if (!c || *c == 0) return {};
        AppendUtf8(out, *c);
    }
    return out;
}

// The wide text of UTF-8 (a NUL kept); nothing when any sequence is invalid as
// NextUtf8Scalar reads it.
inline std::optional<std::wstring> WideFromUtf8(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (size_t pos = 0; pos < text.size();) {
        const std::optional<char32_t> c = NextUtf8Scalar(text, pos);
        if (!c) return std::nullopt;
        AppendWide(out, *c);
    }
    return out;
}

}  // namespace zuvelo::platform
