#include "platform/utf16le.h"

#include <cstdint>
#include <vector>

#include "platform/utf8.h"

namespace zuvelo::platform {

namespace {

void AppendUnit(std::string& out, uint32_t unit) {
    out += static_cast<char>(unit & 0xFF);
    out += static_cast<char>((unit >> 8) & 0xFF);
}

bool IsHighSurrogate(uint32_t unit) { return unit >= 0xD800 && unit < 0xDC00; }
bool IsLowSurrogate(uint32_t unit) { return unit >= 0xDC00 && unit < 0xE000; }

}  // namespace

std::string Utf16LeBytes(const std::wstring& text) {
    std::string out;
    out.reserve(text.size() * 2);
    for (const wchar_t w : text) {
        const auto c = static_cast<uint32_t>(w);
        if (c <= 0xFFFF) {
            AppendUnit(out, c);
        } else if (c <= 0x10FFFF) {
            AppendUnit(out, 0xD800 + ((c - 0x10000) >> 10));
            AppendUnit(out, 0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            AppendUnit(out, 0xFFFD);
        }
    }
    return out;
}

std::wstring TextFromUtf16Le(std::string_view bytes) {
    std::vector<uint32_t> units;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const uint32_t unit = static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
        if (unit == 0) break;
        units.push_back(unit);
    }
    std::wstring text;
    for (size_t i = 0; i < units.size(); ++i) {
        if (IsHighSurrogate(units[i]) && i + 1 < units.size() && IsLowSurrogate(units[i + 1])) {
            AppendWide(text, 0x10000 + ((units[i] - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            ++i;
        } else {
            text += static_cast<wchar_t>(units[i]);
        }
    }
    return text;
}

}  // namespace zuvelo::platform
