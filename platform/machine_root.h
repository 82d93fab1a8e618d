#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

// What Windows keeps in machine-wide places lives under one folder, the machine
// root: $ZUVELO_MACHINE_ROOT, default /var/lib/zuvelo/machine.
namespace zuvelo::platform {

std::filesystem::path MachineRoot();

// <machine root>/<relative>, created (with its parents) on first use.
std::filesystem::path MachinePath(const std::filesystem::path& relative);

// SHGetSpecialFolderPathW: the shell folder of a CSIDL number (2, 16, 23, 25, 26,
// 28, 35, 36, 37), created with its parents on first use. Returns 0, 87 for a
// number that has no place here, or the Windows number of a failed creation.
uint32_t SpecialFolderPath(int csidl, std::filesystem::path& out);

// The default installation parent ("Program Files").
std::filesystem::path ProgramFilesPath();

// Name of the effective user, used in per-user folders.
std::string EffectiveUserName();

}  // namespace zuvelo::platform
