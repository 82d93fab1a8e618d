#pragma once

#include <cstdint>
#include <filesystem>

#include "platform/system_information.h"

namespace zuvelo::test {

// The system's answers as a test sets them.
class FakeSystemInformation final : public platform::SystemInformation {
public:
    bool IsElevated() override { return elevated; }
    uint32_t QueryOsVersion(platform::OsVersion& out) override {
        out = version;
        return versionError;
    }
    uint16_t ProcessorArchitecture() override { return architecture; }
    uint32_t QueryFreeBytes(const std::filesystem::path& folder, uint64_t& out) override {
        freeSpaceFolder = folder;
        out = freeBytes;
        return freeError;
    }

    bool elevated = true;
    platform::OsVersion version{10, 0};
    uint32_t versionError = 0;
    uint16_t architecture = platform::processor::kX64;
    uint64_t freeBytes = 1ull << 40;
    uint32_t freeError = 0;
    std::filesystem::path freeSpaceFolder{};  // the folder of the last free-space query
};

}  // namespace zuvelo::test
