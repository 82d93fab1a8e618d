#include "platform/compare_string.h"

#include <locale.h>
#include <wctype.h>

namespace zuvelo::platform {

namespace {

wchar_t OrdinalUpper(wchar_t c) {
    if (c < 0x80) return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c;
    if (c > 0xFFFF) return c;
    static const locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    if (!utf8) return c;
    const wint_t upper = ::towupper_l(static_cast<wint_t>(c), utf8);
    return upper <= 0xFFFF ? static_cast<wchar_t>(upper) : c;
}

}  // namespace

bool OrdinalEqualIgnoreCase(std::wstring_view a, std::wstring_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i] && OrdinalUpper(a[i]) != OrdinalUpper(b[i])) return false;
    }
    return true;
}

int CompareOrdinalIgnoreCase(std::wstring_view a, std::wstring_view b) noexcept {
    const size_t common = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < common; ++i) {
        if (a[i] == b[i]) continue;
        const wchar_t upperA = OrdinalUpper(a[i]);
        const wchar_t upperB = OrdinalUpper(b[i]);
        if (upperA != upperB) return upperA < upperB ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

}  // namespace zuvelo::platform
