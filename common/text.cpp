#include "common/text.h"

#include <climits>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "platform/console.h"
#include "platform/utf8.h"

namespace zuvelo {

namespace {

constexpr size_t kMaxConvertible = 2147483647;
constexpr char32_t kReplacement = 0xFFFD;
constexpr char kReplacementUtf8[] = "\xEF\xBF\xBD";

// Invalid sequences become U+FFFD; never fails.
std::wstring DecodeUtf8Lossy(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (size_t pos = 0; pos < text.size();) {
        platform::AppendWide(out, platform::NextUtf8Scalar(text, pos).value_or(kReplacement));
    }
    return out;
}

// The UTF-8 of a path's native form (one overload is used on each system): bytes kept as they are (checked when strict,
// repaired when not), or wide text converted.
[[maybe_unused]] std::string NativeToUtf8(const std::string& native, bool strict) {
    if (!strict) return WideToUtf8Lossy(DecodeUtf8Lossy(native));
    Utf8ToWide(native);  // validates
    return native;
}
[[maybe_unused]] std::string NativeToUtf8(const std::wstring& native, bool strict) {
    return strict ? WideToUtf8(native) : WideToUtf8Lossy(native);
}

}  // namespace

std::wstring Utf8ToWide(const std::string& text) {
    if (text.size() > kMaxConvertible) throw std::length_error("UTF-8 input is too large to convert");
    std::optional<std::wstring> wide = platform::WideFromUtf8(text);
    if (!wide) throw std::runtime_error("Invalid UTF-8 input");
    return std::move(*wide);
}

std::string WideToUtf8(const std::wstring& text) {
    if (text.size() > kMaxConvertible) throw std::length_error("UTF-16 input is too large to convert");
    std::string out;
    out.reserve(text.size());
    for (size_t pos = 0; pos < text.size();) {
        const std::optional<char32_t> c = platform::NextWideScalar(text, pos);
        if (!c) throw std::runtime_error("Invalid UTF-16 input");
        platform::AppendUtf8(out, *c);
    }
    return out;
}

std::filesystem::path PathFromUtf8(const std::string& text) {
    if (text.find('\0') != std::string::npos) throw std::invalid_argument("Path contains an embedded NUL");
    Utf8ToWide(text);  // validates
    // char8_t text is UTF-8 to the library on both systems: kept as bytes on Linux,
    // converted to the wide native form on Windows (never through the ANSI code page).
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::string Utf8FromPath(const std::filesystem::path& path) { return NativeToUtf8(path.native(), true); }

std::string WideToUtf8Lossy(const std::wstring& text) {
    try {
        if (text.size() > kMaxConvertible) return kReplacementUtf8;
        std::string out;
        out.reserve(text.size());
        for (size_t pos = 0; pos < text.size();) {
            platform::AppendUtf8(out, platform::NextWideScalar(text, pos).value_or(kReplacement));
        }
        return out;
    } catch (...) {
        return kReplacementUtf8;
    }
}

std::string ToUtf8Lossy(const std::wstring& text) { return WideToUtf8Lossy(text); }

std::string ToUtf8Lossy(const std::filesystem::path& path) {
    try {
        return NativeToUtf8(path.native(), false);
    } catch (...) {
        return kReplacementUtf8;
    }
}

std::wstring Utf8ToWideLossy(const std::string& text) {
    try {
        if (text.size() > kMaxConvertible) return std::wstring(1, static_cast<wchar_t>(kReplacement));
        return DecodeUtf8Lossy(text);
    } catch (...) {
        return std::wstring(1, static_cast<wchar_t>(kReplacement));
    }
}

std::wstring OemToWide(const std::string& text) {
    // Without an OEM code page (Linux) console programs write UTF-8.
    if (std::optional<std::wstring> wide = platform::WideFromOemCodePage(text)) return *wide;
    return Utf8ToWideLossy(text);
}

std::wstring ForTerminal(std::wstring text) {
    for (wchar_t& c : text) {
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) c = L'?';
    }
    return text;
}

bool JsonHasEmbeddedNul(const Json::Value& value) {
    try {
        if (value.isString()) {
            const char* begin = nullptr;
            const char* end = nullptr;
            return value.getString(&begin, &end) && std::string_view(begin, end - begin).find('\0') != std::string_view::npos;
        }
        if (value.isArray()) {
            for (const Json::Value& element : value) {
                if (JsonHasEmbeddedNul(element)) return true;
            }
            return false;
        }
        if (value.isObject()) {
            for (auto it = value.begin(); it != value.end(); ++it) {
                if (it.name().find('\0') != std::string::npos || JsonHasEmbeddedNul(*it)) return true;
            }
        }
        return false;
    } catch (...) {
        return true;
    }
}

}  // namespace zuvelo
