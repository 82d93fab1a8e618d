#include "platform/file_version.h"

#include <windows.h>

#include <string>

#include "platform/windows/win32_paths.h"
#include "platform/windows/win32_handle.h"

namespace zuvelo::platform {

namespace {

constexpr uint32_t kFixedFileInfoSignature = 0xFEEF04BD;

// The version functions take a name: the name of the very file the caller holds open.
uint32_t PathOf(int fd, std::wstring& path) { return windows::FinalPathOf(windows::HandleOf(fd), path); }

}  // namespace

uint32_t FindVersionResource(int fd, VersionResource& out) {
    std::wstring path;
    if (const uint32_t err = PathOf(fd, path)) return err;
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) return windows::LastError();
    out = {0, size};
    return 0;
}

uint32_t ReadVersionResource(int fd, const VersionResource& resource, std::vector<unsigned char>& block) {
    std::wstring path;
    if (const uint32_t err = PathOf(fd, path)) return err;
    block.assign(resource.size, 0);
    if (!::GetFileVersionInfoW(path.c_str(), 0, resource.size, block.data())) return windows::LastError();
    return 0;
}

bool QueryFixedFileVersion(const std::vector<unsigned char>& block, FixedFileVersion& out) {
    if (block.empty()) return false;
    void* value = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(block.data(), L"\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO)) return false;
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    if (fixed->dwSignature != kFixedFileInfoSignature) return false;
    out = {fixed->dwFileVersionMS, fixed->dwFileVersionLS};
    return true;
}

}  // namespace zuvelo::platform
