#include "platform/owned_handle.h"

#include <windows.h>

namespace zuvelo::platform {

void HandleCloser::operator()(void* handle) const noexcept { ::CloseHandle(handle); }

}  // namespace zuvelo::platform
