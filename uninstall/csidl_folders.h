#pragma once

#include <string>

// The uninstaller's shell folders (SHGetFolderPathW).
namespace zuvelo {

inline constexpr int kCsidlLocalAppData = 28;
inline constexpr int kCsidlCommonAppData = 35;
inline constexpr int kCsidlWindows = 36;

// The folder of the CSIDL number, or an empty string when it is unknown.
std::wstring GetCsidlFolderPath(int csidl);

// The product's default installation folder, "Zuvelo" in the Program Files folder.
std::wstring DefaultInstallPath();

}  // namespace zuvelo
