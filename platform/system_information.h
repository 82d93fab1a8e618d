#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>

// What the programs ask the system about itself: elevation (the token's
// TokenElevation), the Windows version (VerifyVersionInfoW), the processor
// (GetNativeSystemInfo) and free space (GetDiskFreeSpaceExW). One interface, so
// tests can set each answer.
namespace zuvelo::platform {

// wProcessorArchitecture numbers.
namespace processor {
inline constexpr uint16_t kX86 = 0;
inline constexpr uint16_t kX64 = 9;
inline constexpr uint16_t kArm64 = 12;
inline constexpr uint16_t kUnknown = 0xFFFF;
}  // namespace processor

struct OsVersion {
    uint32_t major = 0;
    uint32_t minor = 0;
};

class SystemInformation {
public:
    virtual ~SystemInformation() = default;

    // The process runs with administrator rights.
    virtual bool IsElevated() = 0;
    // 0 with the version, or the Windows number of a failed query.
    virtual uint32_t QueryOsVersion(OsVersion& out) = 0;
    // One of the processor numbers above.
    virtual uint16_t ProcessorArchitecture() = 0;
    // 0 with the bytes available to this user on folder's volume, or the Windows number of the failure.
    virtual uint32_t QueryFreeBytes(const std::filesystem::path& folder, uint64_t& out) = 0;
};

// This machine. On Windows: the token's elevation, the version VerifyVersionInfoW
// confirms (what the program's manifest lets the system admit), the native
// processor and GetDiskFreeSpaceExW. On Linux: root is elevated; version and
// processor come from machine.json under the machine root ({"osVersion": "10.0",
// "architecture": "x64"}, each optional: 10.0 and the host's processor); free
// space from statvfs. A machine.json that cannot be read fails the version query
// (13) and gives an unknown processor.
std::unique_ptr<SystemInformation> OpenSystemInformation();

}  // namespace zuvelo::platform
