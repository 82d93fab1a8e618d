#include "platform/registry.h"

#include "platform/utf16le.h"

// The value data formats, the same on both systems.
namespace zuvelo::platform {

std::string RegistryStringData(const std::wstring& text) { return Utf16LeBytes(text) + std::string(2, '\0'); }

std::wstring RegistryStringFromData(const std::string& data) { return TextFromUtf16Le(data); }

std::string RegistryDwordData(uint32_t value) { return RegistryQwordData(value).substr(0, 4); }

std::string RegistryQwordData(uint64_t value) {
    std::string out;
    for (int i = 0; i < 8; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
    return out;
}

uint64_t RegistryNumberFromData(const std::string& data) {
    uint64_t value = 0;
    for (size_t i = 0; i < data.size() && i < 8; ++i) value |= uint64_t{static_cast<unsigned char>(data[i])} << (8 * i);
    return value;
}

}  // namespace zuvelo::platform
