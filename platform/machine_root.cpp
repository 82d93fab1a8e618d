#include "platform/machine_root.h"

namespace zuvelo::platform {

std::filesystem::path MachinePath(const std::filesystem::path& relative) {
    std::filesystem::path path = MachineRoot() / relative;
    std::filesystem::create_directories(path);
    return path;
}

}  // namespace zuvelo::platform
