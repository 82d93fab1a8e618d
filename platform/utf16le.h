#pragma once

#include <string>
#include <string_view>

// UTF-16LE, the encoding of Windows' stored text (registry values, shell links).
namespace zuvelo::platform {

// The UTF-16LE bytes of text, without a terminating NUL: code points above U+FFFF
// become surrogate pairs, a surrogate code point is kept as its own unit, and a
// value above U+10FFFF becomes U+FFFD.
std::string Utf16LeBytes(const std::wstring& text);

// The text of UTF-16LE bytes up to the first NUL unit or the end (an odd last
// byte is ignored); a surrogate that is not part of a pair stays as it was stored.
std::wstring TextFromUtf16Le(std::string_view bytes);

}  // namespace zuvelo::platform
