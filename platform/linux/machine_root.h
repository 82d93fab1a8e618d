#pragma once

#include <filesystem>

// The machine root of the Linux build, which stands in for what Windows keeps in
// machine-wide places: $ZUVELO_MACHINE_ROOT, default /var/lib/zuvelo/machine.
namespace zuvelo::platform {

std::filesystem::path MachineRoot();

// <machine root>/<relative>, created (with its parents) on first use.
std::filesystem::path MachinePath(const std::filesystem::path& relative);

}  // namespace zuvelo::platform
