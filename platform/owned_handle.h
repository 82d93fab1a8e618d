#pragma once

#include <memory>

namespace zuvelo::platform {

#ifdef _WIN32
// A Win32 handle held by a shared header, which does not include <windows.h>
// (a HANDLE is a void*): closed with CloseHandle. Only valid handles are stored.
struct HandleCloser {
    void operator()(void* handle) const noexcept;
};
using OwnedHandle = std::unique_ptr<void, HandleCloser>;
#endif

}  // namespace zuvelo::platform
