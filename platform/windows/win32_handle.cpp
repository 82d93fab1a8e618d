#include "platform/windows/win32_handle.h"

#include <fcntl.h>
#include <io.h>

#include "platform/win32_error.h"

namespace zuvelo::platform::windows {

int DescriptorFromHandle(UniqueHandle handle) {
    if (!handle) return -1;
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle.get()), _O_BINARY);
    if (fd >= 0) handle.release();
    return fd;
}

HANDLE HandleOf(int fd) {
    if (fd < 0) return INVALID_HANDLE_VALUE;
    return reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
}

uint32_t LastError() {
    const DWORD error = ::GetLastError();
    return error != 0 ? error : win32::kGenFailure;
}

}  // namespace zuvelo::platform::windows
