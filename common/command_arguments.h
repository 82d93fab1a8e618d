#pragma once

#include <optional>
#include <string>
#include <vector>

// The programs' command lines, which arrive as UTF-8 bytes.
namespace zuvelo {

// Every argument decoded strictly; nothing when one is not valid UTF-8.
std::optional<std::vector<std::wstring>> DecodeArguments(int argc, char* argv[]);
// The wide command line of Windows (wmain), checked the same way: nothing when an
// argument holds a lone surrogate.
std::optional<std::vector<std::wstring>> DecodeArguments(int argc, wchar_t* argv[]);

// argv-style pointers into the decoded arguments, ended by a null pointer; valid
// while the arguments live unchanged.
std::vector<wchar_t*> ArgumentPointers(std::vector<std::wstring>& arguments);

}  // namespace zuvelo
