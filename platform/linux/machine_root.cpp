#include "platform/machine_root.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>
#include <vector>

#include "platform/linux/machine_root.h"
#include "platform/win32_error.h"

namespace zuvelo::platform {

namespace fs = std::filesystem;

namespace {

constexpr const char* kDefaultMachineRoot = "/var/lib/zuvelo/machine";

fs::path UserFolder(const char* relative) { return fs::path("Users") / EffectiveUserName() / relative; }

fs::path SpecialFolderRelative(int csidl) {
    switch (csidl) {
        case 2: return UserFolder("AppData/Roaming/Microsoft/Windows/Start Menu/Programs");
        case 16: return UserFolder("Desktop");
        case 23: return "ProgramData/Microsoft/Windows/Start Menu/Programs";
        case 25: return "Users/Public/Desktop";
        case 26: return UserFolder("AppData/Roaming");
        case 28: return UserFolder("AppData/Local");
        case 35: return "ProgramData";
        case 36: return "Windows";
        case 37: return "Windows/System32";
        default: return {};
    }
}

}  // namespace

fs::path MachineRoot() {
    const char* root = std::getenv("ZUVELO_MACHINE_ROOT");
    return (root && *root) ? fs::path(root) : fs::path(kDefaultMachineRoot);
}

uint32_t SpecialFolderPath(int csidl, fs::path& out) {
    const fs::path relative = SpecialFolderRelative(csidl);
    if (relative.empty()) return win32::kInvalidParameter;
    const fs::path folder = MachineRoot() / relative;
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) return Win32ErrorFromErrno(ec.value());
    out = folder;
    return 0;
}

fs::path MachinePath(const fs::path& relative) {
    fs::path path = MachineRoot() / relative;
    fs::create_directories(path);
    return path;
}

fs::path LockFolder() { return MachineRoot() / "locks"; }

fs::path ProgramFilesPath() { return MachinePath("Program Files"); }

std::string EffectiveUserName() {
    const uid_t uid = ::geteuid();
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_name) {
        return found->pw_name;
    }
    return std::to_string(uid);
}

}  // namespace zuvelo::platform
