#include "platform/authenticode.h"

#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

#include <string>

#include "platform/windows/win32_handle.h"

namespace zuvelo::platform {

int32_t VerifyAuthenticode(const std::filesystem::path& file) {
    const std::wstring path = windows::WidePath(file);
    WINTRUST_FILE_INFO fileInfo{};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = path.c_str();

    WINTRUST_DATA data{};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_SAFER_FLAG;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG result = ::WinVerifyTrust(nullptr, &action, &data);
    // The verification keeps state until it is closed, whatever its result.
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    ::WinVerifyTrust(nullptr, &action, &data);
    return static_cast<int32_t>(result);
}

}  // namespace zuvelo::platform
