#pragma once

#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>

namespace zuvelo::platform {

enum class ReadFileResult { Ok, OpenFailed, ReadFailed, TooLarge };

// Reads a regular file whole. Anything else (a folder, a FIFO, a device, a
// socket) is refused as OpenFailed without ever blocking on it. A file that
// holds more than maxBytes is TooLarge, found from its size before anything is
// read (or, when it grows meanwhile, once maxBytes are passed), so that it never
// costs more memory than the cap.
ReadFileResult ReadRegularFile(const std::filesystem::path& path, std::string& bytes,
                               uint64_t maxBytes = std::numeric_limits<uint64_t>::max());

}  // namespace zuvelo::platform
