#include "platform/console.h"

namespace zuvelo::platform {

size_t WholeUtf8Length(std::string_view text) {
    // The lead byte of the last sequence is at most three bytes back.
    for (size_t back = 1; back <= 3 && back <= text.size(); ++back) {
        const auto c = static_cast<unsigned char>(text[text.size() - back]);
        if ((c & 0xC0) == 0x80) continue;
        const size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        return length > back ? text.size() - back : text.size();
    }
    return text.size();
}

}  // namespace zuvelo::platform
