#pragma once

#include <filesystem>
#include <string>

namespace zuvelo::platform {

enum class ReadFileResult { Ok, OpenFailed, ReadFailed };

// Reads a regular file whole. Anything else (a folder, a FIFO, a device, a
// socket) is refused as OpenFailed without ever blocking on it.
ReadFileResult ReadRegularFile(const std::filesystem::path& path, std::string& bytes);

}  // namespace zuvelo::platform
