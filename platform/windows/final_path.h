#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// Shared by the Windows implementations only (never included above platform/).
namespace zuvelo::platform::windows {

// The path of the object open as handle (GetFinalPathNameByHandleW, drive-letter
// form with its "\\?\" prefix): 0 or the Windows number of the failure.
uint32_t FinalPathOf(HANDLE handle, std::wstring& out);

}  // namespace zuvelo::platform::windows
