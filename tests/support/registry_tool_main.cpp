// Reads and writes the machine's registry store, for tests and fake installers.
//   zuvelo_registry_tool set KEY NAME TYPE DATA   (TYPE: REG_SZ, REG_EXPAND_SZ, REG_DWORD, REG_QWORD, REG_BINARY as hex)
//   zuvelo_registry_tool get KEY NAME             prints "TYPE DATA" in the same notation
//   zuvelo_registry_tool delete KEY [NAME]        a value, or the key with everything below it
// KEY is below HKEY_LOCAL_MACHINE, "\"-separated; NAME "" is the default value.
// Exit status: 0 done, 1 usage, 2 not found, 3 any other failure (its Win32 number on stderr).
#include <cstdint>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "common/text.h"
#include "install/registry_manager.h"
#include "platform/registry.h"
#include "platform/win32_error.h"

namespace {

using namespace zuvelo;
namespace reg = platform::reg;

struct TypeName {
    uint32_t type;
    const char* name;
};
constexpr TypeName kTypeNames[] = {{reg::kSz, "REG_SZ"},
                                   {reg::kExpandSz, "REG_EXPAND_SZ"},
                                   {reg::kBinary, "REG_BINARY"},
                                   {reg::kDword, "REG_DWORD"},
                                   {reg::kQword, "REG_QWORD"}};

std::string Hex(const std::string& data) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (const char byte : data) {
        out += kDigits[static_cast<unsigned char>(byte) >> 4];
        out += kDigits[static_cast<unsigned char>(byte) & 0xF];
    }
    return out;
}

std::string Unhex(const std::string& text) {
    if (text.size() % 2 != 0) throw std::invalid_argument("odd number of hex digits");
    std::string out;
    for (size_t i = 0; i < text.size(); i += 2) out += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
    return out;
}

bool EncodeValue(const std::string& typeName, const std::string& text, uint32_t& type, std::string& data) {
    if (typeName == "REG_SZ" || typeName == "REG_EXPAND_SZ") {
        type = typeName == "REG_SZ" ? reg::kSz : reg::kExpandSz;
        data = platform::RegistryStringData(Utf8ToWide(text));
    } else if (typeName == "REG_DWORD") {
        type = reg::kDword;
        data = platform::RegistryDwordData(static_cast<uint32_t>(std::stoul(text, nullptr, 0)));
    } else if (typeName == "REG_QWORD") {
        type = reg::kQword;
        data = platform::RegistryQwordData(std::stoull(text, nullptr, 0));
    } else if (typeName == "REG_BINARY") {
        type = reg::kBinary;
        data = Unhex(text);
    } else {
        return false;
    }
    return true;
}

std::string DescribeValue(uint32_t type, const std::string& data) {
    for (const TypeName& entry : kTypeNames) {
        if (entry.type != type) continue;
        if (type == reg::kSz || type == reg::kExpandSz) {
            return std::string(entry.name) + " " + WideToUtf8Lossy(platform::RegistryStringFromData(data));
        }
        if (type == reg::kDword || type == reg::kQword) {
            return std::string(entry.name) + " " + std::to_string(platform::RegistryNumberFromData(data));
        }
        return std::string(entry.name) + " " + Hex(data);
    }
    return "TYPE" + std::to_string(type) + " " + Hex(data);
}

int Failed(const std::string& what, uint32_t err) {
    if (err == platform::win32::kFileNotFound) return 2;
    std::cerr << what << " failed: Win32 error " << err << std::endl;
    return 3;
}

int Run(const std::vector<std::string>& args) {
    const std::unique_ptr<platform::Registry> registry = platform::OpenMachineRegistry();
    const std::string& command = args[0];
    const std::wstring key = Utf8ToWide(args[1]);
    platform::RegistryKeyHandle handle = 0;
    RegistryKeyHolder held(*registry);
    if (command == "set" && args.size() == 5) {
        uint32_t type = 0;
        std::string data;
        if (!EncodeValue(args[3], args[4], type, data)) return 1;
        if (const uint32_t err = registry->CreateKey(key, handle)) return Failed("create key", err);
        held.Own(handle);
        const uint32_t err = registry->SetValue(held.get(), Utf8ToWide(args[2]), type, data);
        return err ? Failed("set value", err) : 0;
    }
    if (command == "get" && args.size() == 3) {
        if (const uint32_t err = registry->OpenKey(key, handle)) return Failed("open key", err);
        held.Own(handle);
        uint32_t type = 0;
        std::string data;
        if (const uint32_t err = registry->QueryValue(held.get(), Utf8ToWide(args[2]), type, data)) {
            return Failed("query value", err);
        }
        std::cout << DescribeValue(type, data) << std::endl;
        return 0;
    }
    if (command == "delete" && args.size() == 2) {
        const uint32_t err = registry->DeleteTree(key);
        return err ? Failed("delete key", err) : 0;
    }
    if (command == "delete" && args.size() == 3) {
        if (const uint32_t err = registry->OpenKey(key, handle)) return Failed("open key", err);
        held.Own(handle);
        const uint32_t err = registry->DeleteValue(held.get(), Utf8ToWide(args[2]));
        return err ? Failed("delete value", err) : 0;
    }
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    try {
        const int status = args.size() >= 2 ? Run(args) : 1;
        if (status == 1) std::cerr << "usage: zuvelo_registry_tool set|get|delete KEY [NAME [TYPE DATA]]" << std::endl;
        return status;
    } catch (const std::exception& e) {
        std::cerr << "zuvelo_registry_tool: " << e.what() << std::endl;
        return 1;
    }
}
