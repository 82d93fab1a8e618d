#pragma once

#include <filesystem>
#include <string>

// What Windows keeps in machine-wide places lives under one folder, the machine
// root: $ZUVELO_MACHINE_ROOT, default /var/lib/zuvelo/machine.
namespace zuvelo::platform {

std::filesystem::path MachineRoot();

// <machine root>/<relative>, created (with its parents) on first use.
std::filesystem::path MachinePath(const std::filesystem::path& relative);

// Shell folders by CSIDL number (2, 16, 23, 25, 26, 28, 35, 36, 37); created on
// first use. Empty for a number that has no place here.
std::filesystem::path SpecialFolderPath(int csidl);

// The default installation parent ("Program Files").
std::filesystem::path ProgramFilesPath();

// Name of the effective user, used in per-user folders.
std::string EffectiveUserName();

}  // namespace zuvelo::platform
