#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>

// Shared by the Windows implementations only (never included above platform/).
// The interfaces above platform/ carry an `int` descriptor; on Windows it is a C runtime
// descriptor over a Win32 handle, so UniqueFd closes the handle (_close -> CloseHandle).
namespace zuvelo::platform::windows {

// Owns one Win32 handle (INVALID_HANDLE_VALUE or null when empty).
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    explicit operator bool() const { return valid(); }
    HANDLE release() { return std::exchange(handle_, INVALID_HANDLE_VALUE); }
    void reset(HANDLE handle = INVALID_HANDLE_VALUE) {
        if (valid()) ::CloseHandle(handle_);
        handle_ = handle;
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// A C runtime descriptor that takes ownership of the handle; -1 (and the handle closed)
// when the runtime has no descriptor left.
int DescriptorFromHandle(UniqueHandle handle);

// The Win32 handle behind a descriptor (INVALID_HANDLE_VALUE for a bad one); still owned
// by the descriptor.
HANDLE HandleOf(int fd);

// GetLastError() of the failed call, never 0 (a call that failed without saying gives 31).
uint32_t LastError();

// The wide form Win32 calls take; a path is never passed through the ANSI code page.
inline std::wstring WidePath(const std::filesystem::path& path) { return path.wstring(); }

// The st_mode the interfaces carry, synthesized from file attributes: a reparse point is a
// link (0120000), a folder 0040000, anything else regular (0100000); permission bits 0444
// when read-only, else 0666, folders adding 0111.
uint32_t ModeFromAttributes(DWORD attributes);

// Sets FILE_ATTRIBUTE_READONLY through the handle (which needs FILE_READ_ATTRIBUTES and
// FILE_WRITE_ATTRIBUTES), leaving every other attribute as it is.
uint32_t SetReadOnly(HANDLE handle, bool readOnly);

// Deletes exactly the object open as handle (which needs DELETE and the attribute rights),
// whatever name it has now: the read-only bit is cleared first, as unlink ignores the mode;
// the name goes when the last handle closes.
uint32_t DeleteThroughHandle(HANDLE handle);

}  // namespace zuvelo::platform::windows
