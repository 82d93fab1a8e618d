#include "platform/sha256.h"

namespace zuvelo::platform {

std::string ToLowerHex(const unsigned char* bytes, size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        hex.push_back(kDigits[bytes[i] >> 4]);
        hex.push_back(kDigits[bytes[i] & 0x0f]);
    }
    return hex;
}

std::string Sha256Hex(const void* data, size_t size) {
    Sha256 hash;
    std::string hex;
    if (!hash.Update(data, size) || !hash.Finish(hex)) return {};
    return hex;
}

void Sha256::Fail(Step step, int64_t status) {
    failed_ = step;
    status_ = status;
}

}  // namespace zuvelo::platform
