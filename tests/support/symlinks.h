#pragma once

#include <filesystem>

namespace zuvelo::test {

// Whether symbolic links can be made here: Wine 8 makes none, and Windows only with
// Developer Mode or the privilege. Tests that need them skip with kNoSymlinks.
bool SymlinksAvailable();
inline constexpr const char* kNoSymlinks =
    "this system makes no symbolic links (Wine 8 has none; Windows needs Developer Mode or the privilege)";

// A symbolic link at link to target (a folder link when directory); throws when none is made.
void MakeSymlink(const std::filesystem::path& target, const std::filesystem::path& link, bool directory = false);

}  // namespace zuvelo::test
