#include "uninstall/csidl_folders.h"

#include <filesystem>

#include "common/paths.h"
#include "platform/machine_root.h"

namespace zuvelo {

std::wstring GetCsidlFolderPath(int csidl) {
    std::filesystem::path folder;
    if (platform::SpecialFolderPath(csidl, folder) != 0) return {};
    return WidePath(folder);
}

std::wstring DefaultInstallPath() { return WidePath(platform::ProgramFilesPath() / "Zuvelo"); }

}  // namespace zuvelo
