#include "common/command_arguments.h"

#include <exception>

#include "common/text.h"

namespace zuvelo {

std::optional<std::vector<std::wstring>> DecodeArguments(int argc, char* argv[]) {
    std::vector<std::wstring> arguments;
    try {
        for (int i = 0; i < argc; ++i) arguments.push_back(Utf8ToWide(argv[i]));
    } catch (const std::exception&) {
        return std::nullopt;
    }
    return arguments;
}

std::optional<std::vector<std::wstring>> DecodeArguments(int argc, wchar_t* argv[]) {
    std::vector<std::wstring> arguments;
    try {
        for (int i = 0; i < argc; ++i) {
            arguments.emplace_back(argv[i]);
            WideToUtf8(arguments.back());  // validates
        }
    } catch (const std::exception&) {
        return std::nullopt;
    }
    return arguments;
}

std::vector<wchar_t*> ArgumentPointers(std::vector<std::wstring>& arguments) {
    std::vector<wchar_t*> pointers;
    for (std::wstring& argument : arguments) pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace zuvelo
