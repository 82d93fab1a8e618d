#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "common/paths.h"
#include "install/prereq_installer.h"
#include "platform/machine_root.h"
#include "tests/install/prereq_fixture.h"
#include "tests/support/versioned_executables.h"

namespace zuvelo {
namespace {

namespace fs = std::filesystem;
using test::SetDword;
using test::SetSz;

TEST(PrereqVersions, Compare) {
    const std::vector<std::tuple<const wchar_t*, const wchar_t*, int>> cases = {
        {L"14.30.30704", L"14.30.30704", 0},   // the minimum itself is new enough
        {L"14.30", L"14.30.30704", -1},        // padded with zeros
        {L"v14.40.33810", L"14.30.30704", -1},  // a leading letter reads 0
        {L"1.2.3.4.5", L"1.2.3.4", 0},         // beyond the shorter one: ignored
        {L"1.2.3.4.5", L"1.2.3.4.9", -1},
        {L"8.0.404", L"8.0.0", 1},
        {L"8a.1", L"8.1", 0},                  // digits before letters count
        {L" +8.-1", L"8.0", -1},               // white space and signs as string-to-int reads them
        {L"99999999999.1", L"0.1", 0},         // out of range reads 0
        {L"1..2.", L"1.0.2", 0},
    };
    for (const auto& [a, b, expected] : cases) {
        int result = 2;
        EXPECT_EQ(PrereqInstaller::CompareVersions(a, b, result), ErrorCode::Success);
        EXPECT_EQ(result, expected) << WideToUtf8(a) << " vs " << WideToUtf8(b);
    }
}

class PrereqDetection : public test::PrereqFixture {
protected:
    // "installed <version>" or "missing".
    std::string Detect(PrerequisiteType type) {
        bool installed = false;
        std::wstring version = L"stale";
        EXPECT_EQ(Installer()->DetectPrerequisite(type, installed, version), ErrorCode::Success);
        return installed ? "installed " + WideToUtf8(version) : version.empty() ? "missing" : "bad";
    }
    // The system folder: the machine root's on Linux, the real one on Windows.
    static fs::path SystemFolder() {
        fs::path folder;
        EXPECT_EQ(platform::SpecialFolderPath(kSystemFolder, folder), 0u);
        return folder;
    }
    static constexpr int kSystemFolder = 37;  // CSIDL_SYSTEM

    test::DetectionRegistry registry;
};

TEST_F(PrereqDetection, RegistryStrings) {
    const std::wstring key = test::DetectionRegistry::kTestKey;
    SetSz(key, L"", L"default");
    test::SetRegistryValue(key, L"Expand", platform::reg::kExpandSz, platform::RegistryStringData(L"%SystemRoot%\\x"));
    test::SetRegistryValue(key, L"Nul", platform::reg::kSz, platform::RegistryStringData(std::wstring(L"ab\0cd", 5)));
    SetDword(key, L"Dword", 7);
    const std::vector<std::tuple<std::wstring, const wchar_t*, ErrorCode, std::wstring>> cases = {
        {key, L"", ErrorCode::Success, L"default"},
        {key, L"expand", ErrorCode::Success, L"%SystemRoot%\\x"},  // names ignore case; never expanded
        {key, L"Nul", ErrorCode::Success, L"ab"},
        {key, L"Dword", ErrorCode::RegistryValueNotFound, L"-"},
        {key, L"Missing", ErrorCode::RegistryValueNotFound, L"-"},
        {L"SOFTWARE\\Nowhere", L"", ErrorCode::RegistryKeyNotFound, L"-"},
    };
    for (const auto& [path, name, expected, text] : cases) {
        std::wstring read = L"-";
        EXPECT_EQ(PrereqInstaller::ReadRegistryString(path, name, read), expected) << WideToUtf8(name);
        EXPECT_EQ(read, text) << WideToUtf8(name);
    }
    // Only the value of the wrong type has a word to say.
    EXPECT_EQ(log.EventsWhere("level", "ERROR").size(), 1u);
    EXPECT_TRUE(log.HasMessage("Registry value is not a string: Dword"));
}

TEST_F(PrereqDetection, VcRedist) {
    const std::wstring wow = L"SOFTWARE\\WOW6432Node\\Microsoft\\VisualStudio\\14.0\\VC\\Runtimes\\x64";
    const std::vector<std::pair<std::function<void()>, std::string>> cases = {
        {[] {}, "missing"},
        {[] { SetSz(test::kVcKey, L"Version", L"14.40.33810"); SetDword(test::kVcKey, L"Installed", 1); },
         "installed 14.40.33810"},
        // The alternative key of the same name in other letters is this key: Installed = 0 stands.
        {[] { SetSz(test::kVcKey, L"Version", L"14.40.33810"); SetDword(test::kVcKey, L"Installed", 0); }, "missing"},
        {[] { SetSz(test::kVcKey, L"Version", L"14.29.30133"); SetDword(test::kVcKey, L"Installed", 1); }, "missing"},
        {[&] { SetSz(test::kVcKey, L"Version", L"v14.40.33810"); SetSz(wow, L"Version", L"14.38.33130"); },
         "installed 14.38.33130"},
    };
    for (const auto& [fill, expected] : cases) {
        registry.Clear();
        fill();
        EXPECT_EQ(Detect(PrerequisiteType::VcRedistX64), expected);
    }
    EXPECT_TRUE(log.HasMessage("VC++ Redistributable detected (alternative): 14.38.33130"));
}

TEST_F(PrereqDetection, DotNetFromRegistryElseCommand) {
    SetSz(test::kDotNetKey, L"", L"8.0.11");
    EXPECT_EQ(Detect(PrerequisiteType::DotNetRuntime8), "installed 8.0.11");
    SetSz(test::kDotNetKey, L"", L"7.0.20");
    // Name, the command, what is detected, whether it runs past the deadline.
    const std::vector<std::tuple<const char*, test::FakeProgram, std::string, bool>> cases = {
        {"prints a version", {.output = "8.0.404\r\n"}, "installed 8.0.404", false},
        {"fails", {.output = "8.0.404\r\n", .exitCode = 1}, "missing", false},
        {"sleeps", {.sleep = true}, "missing", true},
        {"leaves a child", {.sleepingChild = true, .output = "8.0.100"}, "missing", true},  // holding the output
    };
    const test::ScopedEnvironmentVariable path("PATH", test::SearchPathWith(temp / "bin"));
    for (const auto& [name, dotnet, expected, late] : cases) {
        commandTimeout = test::milliseconds(late ? 1000 : 30000);
        test::WriteFakeProgram(temp / "bin" / ("dotnet" + std::string(test::kProgramSuffix)), dotnet);
        EXPECT_EQ(Detect(PrerequisiteType::DotNetRuntime8), expected) << name;
    }
    EXPECT_EQ(log.EventsWhere("message", "Command timed out: dotnet --version").size(), 2u);
}

TEST_F(PrereqDetection, DirectX) {
    const fs::path system32 = SystemFolder();
    if (!IsPathWithin(system32, machine.path())) {
        GTEST_SKIP() << "the system folder is the machine's own: nothing is planted in it";
    }
    const std::string image = test::PeImageWithVersion(test::FixedVersionBlock(6, 1, 7601, 17514));
    const auto d3d9 = [&] { test::WriteFile(system32 / "d3d9.dll", image); };
    const std::vector<std::tuple<std::function<void()>, platform::OsVersion, std::string>> cases = {
        {[] {}, {6, 1}, "missing"},
        {[] {}, {10, 0}, "installed Built-in (Windows 10+)"},
        {[] { SetSz(L"SOFTWARE\\Microsoft\\DirectX", L"Version", L"4.09.00.0904"); }, {6, 1}, "installed 4.09.00.0904"},
        {[&] { d3d9(); test::WriteFile(system32 / "dxgi.dll", "x"); }, {6, 1}, "installed 6.1.7601.17514"},
        {d3d9, {6, 1}, "missing"},  // without dxgi.dll the file is not asked
        {[&] { test::WriteFile(system32 / "d3d9.dll", "MZ"); test::WriteFile(system32 / "dxgi.dll", "x"); }, {6, 1},
         "missing"},
    };
    for (const auto& [fill, os, expected] : cases) {
        registry.Clear();
        fs::remove_all(system32);
        system->version = os;
        fill();
        EXPECT_EQ(Detect(PrerequisiteType::DirectXRuntime), expected);
    }
    EXPECT_TRUE(log.HasMessage("Failed to get version info size for: " + (system32 / "d3d9.dll").string() +
                               " (error: 193)"));
}

// Below Windows 10 with nothing in the registry, the system folder's d3d9.dll answers.
TEST_F(PrereqDetection, DirectXFromTheSystemFolder) {
    const fs::path system32 = SystemFolder();
    registry.Clear();
    system->version = {6, 1};
    std::wstring version;
    const bool present = fs::exists(system32 / "d3d9.dll") && fs::exists(system32 / "dxgi.dll") &&
                         Succeeded(PrereqInstaller::GetFileVersionString(system32 / "d3d9.dll", version));
    EXPECT_EQ(Detect(PrerequisiteType::DirectXRuntime), present ? "installed " + WideToUtf8(version) : "missing");
}

TEST_F(PrereqDetection, FileVersionWithoutFixedInformation) {
    const fs::path file = temp / "noversion.dll";
    test::WriteFile(file, test::PeImageWithVersion(std::string(40, '\0')));
    std::wstring version;
    EXPECT_EQ(PrereqInstaller::GetFileVersionString(file, version), ErrorCode::FileAccessDenied);
    EXPECT_TRUE(log.HasMessage("Failed to query version value for: " + ToUtf8Lossy(file)));
}

}  // namespace
}  // namespace zuvelo
