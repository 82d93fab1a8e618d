#include "manifest/trusted_keys.h"

#include "manifest/build_public_keys.h"

namespace zuvelo {

namespace {

std::string_view TrimBlanks(std::string_view text) {
    constexpr std::string_view kBlanks = " \t\r\n";
    const size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    const size_t last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

}  // namespace

std::vector<std::string> BuildManifestPublicKeys() { return SplitPublicKeyList(kBuildManifestPublicKeys); }

std::vector<std::string> SplitPublicKeyList(std::string_view list) {
    std::vector<std::string> keys;
    while (!list.empty()) {
        const size_t end = list.find_first_of(";,");
        const std::string_view key = TrimBlanks(list.substr(0, end));
        if (!key.empty()) keys.emplace_back(key);
        if (end == std::string_view::npos) break;
        list.remove_prefix(end + 1);
    }
    return keys;
}

}  // namespace zuvelo
