#pragma once

#include <cstdint>
#include <filesystem>

#include "platform/unique_fd.h"

// The steps of the walk below a held folder (open_beneath.cpp, staged files) that each
// system takes its own way; never included above platform/. A name is one component of a
// path in the system's native form. Every function returns 0 or the Windows number of the
// failure.
namespace zuvelo::platform::beneath {

// Not empty, "." or "..", and no separator (Windows: no backslash, colon or NUL either).
bool IsPlainComponent(const std::filesystem::path& name);

// A second descriptor of the folder held as fd, which the caller owns; 6 when fd holds
// nothing.
uint32_t DuplicateFolder(int fd, UniqueFd& out);

// The object at name in the folder held as dirFd, as itself (a link never followed),
// held as OpenPathHandle holds it.
uint32_t OpenComponent(int dirFd, const std::filesystem::path& name, UniqueFd& out);

// Makes the folder name (mode 0755) in the folder held as dirFd; 183 when the name is taken.
uint32_t CreateFolderComponent(int dirFd, const std::filesystem::path& name);

// Opens the file at name in the folder held as dirFd for reading (an empty name: that
// folder itself), never following a link: a link there sets linkFound and gives 5.
// Opening never blocks (a FIFO opens at once).
uint32_t OpenComponentForReading(int dirFd, const std::filesystem::path& name, UniqueFd& out, bool& linkFound);

}  // namespace zuvelo::platform::beneath
