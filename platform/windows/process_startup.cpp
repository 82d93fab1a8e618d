#include "platform/process_startup.h"

#include <windows.h>
#include <objbase.h>

#include "platform/windows/win32_handle.h"

namespace zuvelo::platform {

void PrepareProcess() {}

bool IsAdministrator() {
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!::AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0,
                                    0, 0, 0, &administrators)) {
        return false;
    }
    // A failed check leaves isMember false: the caller counts as no administrator.
    BOOL isMember = FALSE;
    ::CheckTokenMembership(nullptr, administrators, &isMember);
    ::FreeSid(administrators);
    return isMember != FALSE;
}

bool IsProcessElevated() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    const windows::UniqueHandle owned(token);
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    return ::GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size) &&
           elevation.TokenIsElevated != 0;
}

ComApartment::ComApartment()
    : result_(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE)) {}

ComApartment::~ComApartment() {
    if (Ok()) ::CoUninitialize();
}

}  // namespace zuvelo::platform
