#include "platform/system_information.h"

#include <windows.h>

#include "platform/process_startup.h"
#include "platform/windows/win32_handle.h"
#include "platform/windows/win32_paths.h"

namespace zuvelo::platform {

namespace {

constexpr uint32_t kOldWinVersion = 1150;  // ERROR_OLD_WIN_VERSION: the version is lower
constexpr uint32_t kHighestProbe = 255;   // above any major or minor version there is

// VerifyVersionInfoW with the major and minor version and service-pack major 0,
// each greater or equal: 0 when the system is at least that version,
// kOldWinVersion when it is older, or the number of a failed call.
uint32_t CheckVersionAtLeast(uint32_t major, uint32_t minor) {
    OSVERSIONINFOEXW wanted{};
    wanted.dwOSVersionInfoSize = sizeof(wanted);
    wanted.dwMajorVersion = major;
    wanted.dwMinorVersion = minor;
    wanted.wServicePackMajor = 0;
    ULONGLONG conditions = 0;
    conditions = ::VerSetConditionMask(conditions, VER_MAJORVERSION, VER_GREATER_EQUAL);
    conditions = ::VerSetConditionMask(conditions, VER_MINORVERSION, VER_GREATER_EQUAL);
    conditions = ::VerSetConditionMask(conditions, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    if (::VerifyVersionInfoW(&wanted, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR, conditions)) {
        return 0;
    }
    return windows::LastError();
}

// The highest value for which atLeast(value) holds (0 always does); 0 or the
// number of a failed check.
template <typename Check>
uint32_t HighestConfirmed(uint32_t& out, Check atLeast) {
    out = 0;
    while (out < kHighestProbe) {
        const uint32_t error = atLeast(out + 1);
        if (error == kOldWinVersion) break;
        if (error != 0) return error;
        ++out;
    }
    return 0;
}

uint16_t ProcessorOf(WORD architecture) {
    switch (architecture) {
        case PROCESSOR_ARCHITECTURE_AMD64: return processor::kX64;
        case PROCESSOR_ARCHITECTURE_INTEL: return processor::kX86;
        case PROCESSOR_ARCHITECTURE_ARM64: return processor::kArm64;
        default: return processor::kUnknown;
    }
}

class MachineSystemInformation final : public SystemInformation {
public:
    bool IsElevated() override { return IsProcessElevated(); }

    // Version checks compare greater-or-equal, so the version is the highest one
    // the system confirms: the major version first, then the minor one within it.
    uint32_t QueryOsVersion(OsVersion& out) override {
        OsVersion found;
        if (const uint32_t error =
                HighestConfirmed(found.major, [](uint32_t major) { return CheckVersionAtLeast(major, 0); })) {
            return error;
        }
        if (const uint32_t error = HighestConfirmed(
                found.minor, [&](uint32_t minor) { return CheckVersionAtLeast(found.major, minor); })) {
            return error;
        }
        out = found;
        return 0;
    }

    uint16_t ProcessorArchitecture() override {
        SYSTEM_INFO info{};
        ::GetNativeSystemInfo(&info);
        return ProcessorOf(info.wProcessorArchitecture);
    }

    uint32_t QueryFreeBytes(const std::filesystem::path& folder, uint64_t& out) override {
        // The extended-length form of the folder, with the trailing separator the call wants.
        std::wstring extended;
        if (const uint32_t err = windows::ExtendedLengthPath(folder, extended)) return err;
        if (extended.back() != L'\\') extended += L'\\';
        ULARGE_INTEGER available{};
        if (!::GetDiskFreeSpaceExW(extended.c_str(), &available, nullptr, nullptr)) {
            return windows::LastError();
        }
        out = available.QuadPart;
        return 0;
    }
};

}  // namespace

std::unique_ptr<SystemInformation> OpenSystemInformation() { return std::make_unique<MachineSystemInformation>(); }

}  // namespace zuvelo::platform
