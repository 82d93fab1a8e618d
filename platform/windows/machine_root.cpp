#include "platform/machine_root.h"

#include <windows.h>
#include <lmcons.h>
#include <shlobj.h>

#include <system_error>

#include "platform/utf8.h"
#include "platform/windows/win32_handle.h"

namespace zuvelo::platform {

namespace fs = std::filesystem;

namespace {

fs::path ExistingSpecialFolder(int csidl) {
    fs::path folder;
    if (const uint32_t error = SpecialFolderPath(csidl, folder)) {
        throw std::system_error(static_cast<int>(error), std::system_category(), "SHGetSpecialFolderPathW");
    }
    return folder;
}

}  // namespace

// Not ProgramData: anyone may make folders there, and so take the lock's name first.
fs::path LockFolder() { return ExistingSpecialFolder(CSIDL_PROGRAM_FILES_COMMON) / L"Zuvelo" / L"locks"; }

uint32_t SpecialFolderPath(int csidl, fs::path& out) {
    wchar_t buffer[MAX_PATH] = L"";
    if (!::SHGetSpecialFolderPathW(nullptr, buffer, csidl, FALSE)) return windows::LastError();
    out = buffer;
    return 0;
}

fs::path ProgramFilesPath() { return ExistingSpecialFolder(CSIDL_PROGRAM_FILES); }

std::string EffectiveUserName() {
    wchar_t name[UNLEN + 1] = L"";
    DWORD length = UNLEN + 1;
    if (!::GetUserNameW(name, &length)) return {};
    return Utf8FromWide(name);
}

}  // namespace zuvelo::platform
