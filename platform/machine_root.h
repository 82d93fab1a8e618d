#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

// The machine's own places: shell folders, Program Files and the folder of the
// programs' locks. On Linux they live under the machine root, which stands in for
// what Windows keeps in machine-wide places: $ZUVELO_MACHINE_ROOT, default
// /var/lib/zuvelo/machine.
namespace zuvelo::platform {

// The folder of the programs' machine-wide locks (the one that keeps two updates
// apart among them): on Windows Zuvelo\locks in the common program files folder,
// which only administrators can write, whatever the environment says; on Linux
// <machine root>/locks. Throws std::system_error on Windows when that shell folder
// cannot be found.
std::filesystem::path LockFolder();

// SHGetSpecialFolderPathW: the shell folder of a CSIDL number (2, 16, 23, 25, 26,
// 28, 35, 36, 37). Returns 0, or the Windows number of the failure. On Windows the
// folder must exist (it is not created). On Linux it is created with its parents
// on first use, and a number that has no place here gives 87.
uint32_t SpecialFolderPath(int csidl, std::filesystem::path& out);

// The default installation parent ("Program Files"); throws std::system_error
// (std::filesystem_error on Linux) when it cannot be found or made.
std::filesystem::path ProgramFilesPath();

// Name of the effective user, used in per-user folders.
std::string EffectiveUserName();

}  // namespace zuvelo::platform
