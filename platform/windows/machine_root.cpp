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

// The variable's value; empty when it is not set.
std::wstring EnvironmentVariable(const wchar_t* name) {
    std::wstring value(MAX_PATH, L'\0');
    while (true) {
        const DWORD length = ::GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
        if (length < value.size()) {
            value.resize(length);
            return value;
        }
        value.resize(length);  // the size it needs, with its terminator
    }
}

fs::path ExistingSpecialFolder(int csidl) {
    fs::path folder;
    if (const uint32_t error = SpecialFolderPath(csidl, folder)) {
        throw std::system_error(static_cast<int>(error), std::system_category(), "SHGetSpecialFolderPathW");
    }
    return folder;
}

}  // namespace

fs::path MachineRoot() {
    const std::wstring root = EnvironmentVariable(L"ZUVELO_MACHINE_ROOT");
    return root.empty() ? ExistingSpecialFolder(CSIDL_COMMON_APPDATA) / L"Zuvelo" : fs::path(root);
}

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
