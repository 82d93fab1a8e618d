#include "platform/staged_file.h"

#include <random>
#include <string_view>

namespace zuvelo::platform {

namespace {

constexpr std::string_view kPrefix = ".zuvelo-staged.";
constexpr std::string_view kSuffix = ".tmp";
constexpr size_t kRandomLength = 12;
constexpr std::string_view kDigits = "0123456789abcdefghijklmnopqrstuvwxyz";

}  // namespace

bool IsStagedFileName(const std::string& name) {
    const std::string_view text(name);
    if (text.size() != kPrefix.size() + kRandomLength + kSuffix.size()) return false;
    if (!text.starts_with(kPrefix) || !text.ends_with(kSuffix)) return false;
    return text.substr(kPrefix.size(), kRandomLength).find_first_not_of(kDigits) == std::string_view::npos;
}

std::string NewStagedFileName() {
    static thread_local std::mt19937_64 generator{std::random_device{}()};
    std::string name(kPrefix);
    for (size_t i = 0; i < kRandomLength; ++i) name += kDigits[generator() % kDigits.size()];
    return name.append(kSuffix);
}

}  // namespace zuvelo::platform
