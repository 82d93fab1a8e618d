#include "platform/system_information.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "platform/win32_error.h"
#include "tests/support/test_folders.h"

namespace zuvelo::platform {
namespace {

// machine.json (empty: none) gives the version and processor, or leaves them to the defaults.
TEST(SystemInformationTest, MachineDescription) {
#ifdef _WIN32
    GTEST_SKIP() << "machine.json describes the machine only on Linux";
#else
    const std::vector<std::tuple<std::string, uint32_t, uint32_t, uint16_t>> cases = {
        {"", 0, 10, processor::kX64},  // the hosts that build this are x86-64
        {R"({"osVersion": "6.1", "architecture": "x86"})", 0, 6, processor::kX86},
        {R"({"osVersion": "10.0.19045", "architecture": "ARM64"})", 0, 10, processor::kArm64},
        {R"({"osVersion": "ten", "architecture": "mips"})", win32::kInvalidData, 0, processor::kUnknown},
        {"not json", win32::kInvalidData, 0, processor::kUnknown},
    };
    test::ScopedMachineRoot machine;
    const auto system = OpenSystemInformation();
    for (const auto& [json, error, major, architecture] : cases) {
        std::filesystem::remove(machine.path() / "machine.json");
        if (!json.empty()) test::WriteFile(machine.path() / "machine.json", json);
        OsVersion version;
        EXPECT_EQ(system->QueryOsVersion(version), error) << json;
        EXPECT_EQ(error ? 0 : version.major, major) << json;
        EXPECT_EQ(system->ProcessorArchitecture(), architecture) << json;
    }
    uint64_t free = 0;
    EXPECT_EQ(system->QueryFreeBytes(machine.path(), free), 0u);
    EXPECT_GT(free, 0u);
#endif
}

// What this machine answers: the tests are built for, and run on, x86-64 systems from
// Windows 7 (6.1) on; Linux without machine.json gives 10.0.
TEST(SystemInformationTest, ThisMachine) {
    test::ScopedMachineRoot machine;
    const auto system = OpenSystemInformation();
    OsVersion version;
    ASSERT_EQ(system->QueryOsVersion(version), 0u);
    EXPECT_TRUE(version.major > 6 || (version.major == 6 && version.minor >= 1))
        << version.major << "." << version.minor;
    EXPECT_EQ(system->ProcessorArchitecture(), processor::kX64);
    uint64_t free = 0;
    EXPECT_EQ(system->QueryFreeBytes(machine.path(), free), 0u);
    EXPECT_GT(free, 0u);
}

}  // namespace
}  // namespace zuvelo::platform
