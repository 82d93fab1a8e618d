#include "platform/system_information.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/win32_error.h"
#include "tests/support/test_folders.h"

namespace zuvelo::platform {
namespace {

// The machine's description read from machine.json, with the defaults it leaves to the host.
TEST(SystemInformationTest, MachineDescription) {
    struct Case {
        std::optional<std::string> machineJson;  // nothing: no file
        uint32_t versionError;
        OsVersion version;
        uint16_t architecture;
    };
    const std::vector<Case> cases = {
        {std::nullopt, 0, {10, 0}, processor::kX64},  // the hosts that build this are x86-64
        {R"({"osVersion": "6.1", "architecture": "x86"})", 0, {6, 1}, processor::kX86},
        {R"({"osVersion": "10.0.19045", "architecture": "ARM64"})", 0, {10, 0}, processor::kArm64},
        {R"({"architecture": "mips"})", 0, {10, 0}, processor::kUnknown},
        {R"({"osVersion": "ten"})", win32::kInvalidData, {}, processor::kX64},
        {R"({"osVersion": 10})", win32::kInvalidData, {}, processor::kX64},
        {"not json", win32::kInvalidData, {}, processor::kUnknown},
    };
    test::ScopedMachineRoot machine;
    const auto system = OpenSystemInformation();
    for (const Case& c : cases) {
        std::filesystem::remove(machine.path() / "machine.json");
        if (c.machineJson) test::WriteFile(machine.path() / "machine.json", *c.machineJson);
        OsVersion version;
        EXPECT_EQ(system->QueryOsVersion(version), c.versionError) << c.machineJson.value_or("none");
        if (c.versionError == 0) {
            EXPECT_EQ(version.major, c.version.major) << c.machineJson.value_or("none");
            EXPECT_EQ(version.minor, c.version.minor) << c.machineJson.value_or("none");
        }
        EXPECT_EQ(system->ProcessorArchitecture(), c.architecture) << c.machineJson.value_or("none");
    }
    uint64_t free = 0;
    EXPECT_EQ(system->QueryFreeBytes(machine.path(), free), 0u);
    EXPECT_GT(free, 0u);
    EXPECT_EQ(system->QueryFreeBytes(machine.path() / "missing", free), win32::kFileNotFound);
    EXPECT_TRUE(system->IsElevated() == (::geteuid() == 0));
}

}  // namespace
}  // namespace zuvelo::platform
