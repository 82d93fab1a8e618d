#pragma once

#include <filesystem>
#include <string>

// The Unix stream socket that stands in for a named pipe on Linux.
namespace zuvelo::platform {

// The socket path for a pipe name (UTF-8): \\.\pipe\NAME is <machine root>/pipe/NAME, an
// absolute path the socket path itself; empty when the name has no socket form.
std::filesystem::path PipeSocketPath(const std::wstring& name);

}  // namespace zuvelo::platform
