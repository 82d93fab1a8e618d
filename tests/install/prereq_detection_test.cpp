#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "install/prereq_installer.h"
#include "tests/install/prereq_fixture.h"
#include "tests/support/signed_executables.h"
#include "tests/support/versioned_executables.h"

namespace zuvelo {
namespace {

namespace fs = std::filesystem;
using test::PrereqFixture;
using ::testing::ElementsAreArray;

TEST(PrereqVersions, ParseAndCompare) {
    struct Case {
        const wchar_t* a;
        const wchar_t* b;
        int expected;
    };
    const std::vector<Case> cases = {
        {L"14.30.30704", L"14.30.30704", 0},     // the minimum itself is new enough
        {L"14.30", L"14.30.30704", -1},          // padded with zeros
        {L"v14.40.33810", L"14.30.30704", -1},   // a leading letter reads 0
        {L"14.40.33810.0", L"14.30.30704", 1},
        {L"1.2.3.4.5", L"1.2.3.4", 0},           // beyond four components: ignored
        {L"1.2.3.4.5", L"1.2.3.4.9", -1},        // ... unless both have them
        {L"8.0.404", L"8.0.0", 1},
        {L"7.0.20", L"8.0.0", -1},
        {L"", L"0.0.0.0", 0},
        {L"8a.1", L"8.1", 0},                    // digits before letters count
        {L" +8.-1", L"8.0", -1},                 // white space and signs as string-to-int reads them
        {L"99999999999.1", L"0.1", 0},           // out of range reads 0
        {L"4.09.00.0904", L"4.9.0.904", 0},
    };
    for (const Case& c : cases) {
        int result = 2;
        EXPECT_EQ(PrereqInstaller::CompareVersions(c.a, c.b, result), ErrorCode::Success);
        EXPECT_EQ(result, c.expected) << WideToUtf8(c.a) << " vs " << WideToUtf8(c.b);
    }
    EXPECT_THAT(PrereqInstaller::ParseVersion(L"1..2."), ElementsAreArray({1, 0, 2, 0}));
    EXPECT_THAT(PrereqInstaller::ParseVersion(L"1.2.3.4.5"), ElementsAreArray({1, 2, 3, 4, 5}));
}

class PrereqDetection : public PrereqFixture {
protected:
    void SetDword(const std::wstring& key, const std::wstring& name, uint32_t value) {
        test::SetRegistryValue(key, name, platform::reg::kDword, platform::RegistryDwordData(value));
    }
    // Installed flag and version as "installed <version>" or "missing".
    std::string Detect(PrerequisiteType type) {
        bool installed = false;
        std::wstring version = L"stale";
        EXPECT_EQ(Installer()->DetectPrerequisite(type, installed, version), ErrorCode::Success);
        return installed ? "installed " + WideToUtf8(version) : version.empty() ? "missing" : "bad";
    }
    void UseFakeDotnet(const std::string& body) {
        test::WriteScript(temp / "bin" / "dotnet", body);
        path.emplace("PATH", (temp / "bin").string() + ":/usr/bin:/bin");
    }
    std::optional<test::ScopedEnvironmentVariable> path;
};

TEST_F(PrereqDetection, RegistryStrings) {
    const std::wstring key = L"SOFTWARE\\Test";
    test::SetRegistryString(key, L"Sz", L"1.2.3");
    test::SetRegistryString(key, L"", L"default");
    test::SetRegistryString(key, L"Empty", L"");
    test::SetRegistryValue(key, L"Expand", platform::reg::kExpandSz, platform::RegistryStringData(L"%SystemRoot%\\x"));
    test::SetRegistryValue(key, L"Nul", platform::reg::kSz, platform::RegistryStringData(std::wstring(L"ab\0cd", 5)));
    test::SetRegistryValue(key, L"Odd", platform::reg::kSz, platform::RegistryStringData(L"xy") + "z");
    SetDword(key, L"Dword", 7);
    struct Case {
        std::wstring key;
        const wchar_t* name;
        ErrorCode expected;
        std::wstring text;
    };
    const std::vector<Case> cases = {
        {key, L"Sz", ErrorCode::Success, L"1.2.3"},
        {key, L"sz", ErrorCode::Success, L"1.2.3"},  // names ignore case
        {key, L"", ErrorCode::Success, L"default"},
        {key, L"Empty", ErrorCode::Success, L""},
        {key, L"Expand", ErrorCode::Success, L"%SystemRoot%\\x"},  // never expanded
        {key, L"Nul", ErrorCode::Success, L"ab"},
        {key, L"Odd", ErrorCode::Success, L"xy"},
        {key, L"Dword", ErrorCode::RegistryValueNotFound, L"untouched"},
        {key, L"Missing", ErrorCode::RegistryValueNotFound, L"untouched"},
        {L"SOFTWARE\\Nowhere", L"Sz", ErrorCode::RegistryKeyNotFound, L"untouched"},
    };
    for (const Case& c : cases) {
        std::wstring text = L"untouched";
        EXPECT_EQ(PrereqInstaller::ReadRegistryString(c.key, c.name, text), c.expected) << WideToUtf8(c.name);
        EXPECT_EQ(text, c.text) << WideToUtf8(c.name);
    }
    // Only the value of the wrong type has a word to say.
    EXPECT_EQ(log.EventsWhere("level", "ERROR").size(), 1u);
    EXPECT_TRUE(log.HasMessage("Registry value is not a string: Dword"));
}

TEST_F(PrereqDetection, VcRedist) {
    const std::wstring wow = L"SOFTWARE\\WOW6432Node\\Microsoft\\VisualStudio\\14.0\\VC\\Runtimes\\x64";
    const std::wstring dependencies =
        L"SOFTWARE\\Classes\\Installer\\Dependencies\\Microsoft.VS.VC_RuntimeMinimumVSU_amd64,v14";
    struct Case {
        const char* name;
        std::function<void()> fill;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"nothing", [] {}, "missing"},
        {"installed", [&] { test::SetRegistryString(test::kVcKey, L"Version", L"14.40.33810"); SetDword(test::kVcKey, L"Installed", 1); },
         "installed 14.40.33810"},
        // The same key in other letters is not asked again, so Installed = 0 stands.
        {"marked not installed", [&] { test::SetRegistryString(test::kVcKey, L"Version", L"14.40.33810"); SetDword(test::kVcKey, L"Installed", 0); },
         "missing"},
        {"too old", [&] { test::SetRegistryString(test::kVcKey, L"Version", L"14.29.30133"); SetDword(test::kVcKey, L"Installed", 1); },
         "missing"},
        {"no Installed value", [&] { test::SetRegistryString(test::kVcKey, L"Version", L"14.40.33810"); }, "missing"},
        {"v-prefixed, then the 32-bit view", [&] {
             test::SetRegistryString(test::kVcKey, L"Version", L"v14.40.33810");
             SetDword(test::kVcKey, L"Installed", 1);
             test::SetRegistryString(wow, L"Version", L"14.38.33130");
         }, "installed 14.38.33130"},
        {"installer dependencies", [&] { test::SetRegistryString(dependencies, L"Version", L"14.36.32532.0"); },
         "installed 14.36.32532.0"},
    };
    for (const Case& c : cases) {
        platform::OpenMachineRegistry()->DeleteTree(L"SOFTWARE");
        c.fill();
        EXPECT_EQ(Detect(PrerequisiteType::VcRedistX64), c.expected) << c.name;
    }
    EXPECT_TRUE(log.HasMessage("VC++ Redistributable detected (alternative): 14.38.33130"));
}

TEST_F(PrereqDetection, DotNetFromRegistryElseCommand) {
    test::SetRegistryString(test::kDotNetKey, L"", L"8.0.11");
    UseFakeDotnet("exit 99");
    EXPECT_EQ(Detect(PrerequisiteType::DotNetRuntime8), "installed 8.0.11");
    EXPECT_FALSE(log.HasMessage("Executing command: dotnet --version"));

    test::SetRegistryString(test::kDotNetKey, L"", L"7.0.20");
    commandTimeout = test::milliseconds(1000);
    struct Case {
        const char* script;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"printf '8.0.404\\r\\n'", "installed 8.0.404"},
        {"printf '8.0.404\\r\\n'; exit 1", "missing"},
        {"echo 7.0.410", "missing"},
        {"echo 8.0.100 >&2", "installed 8.0.100"},  // errors share the output
        {"sleep 30", "missing"},                     // past the deadline
        {"sleep 30 & echo 8.0.100", "missing"},      // a child holds the output open past it
    };
    for (const Case& c : cases) {
        UseFakeDotnet(c.script);
        EXPECT_EQ(Detect(PrerequisiteType::DotNetRuntime8), c.expected) << c.script;
    }
    EXPECT_TRUE(log.HasMessage(".NET Runtime detected via command: 8.0.404"));
    EXPECT_EQ(log.EventsWhere("message", "Command timed out: dotnet --version").size(), 2u);
}

TEST_F(PrereqDetection, DirectX) {
    const fs::path system32 = machine.path() / "Windows" / "System32";
    struct Case {
        const char* name;
        std::function<void()> fill;
        platform::OsVersion os;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"nothing below Windows 10", [] {}, {6, 1}, "missing"},
        {"nothing on Windows 10", [] {}, {10, 0}, "installed Built-in (Windows 10+)"},
        {"registry", [] { test::SetRegistryString(L"SOFTWARE\\Microsoft\\DirectX", L"Version", L"4.09.00.0904"); },
         {6, 1}, "installed 4.09.00.0904"},
        {"file version, whatever its age", [&] {
             test::WriteFile(system32 / "d3d9.dll", test::PeImageWithVersion(test::FixedVersionBlock(6, 1, 7601, 17514)));
             test::WriteFile(system32 / "dxgi.dll", "x");
         }, {6, 1}, "installed 6.1.7601.17514"},
        {"d3d9.dll without dxgi.dll", [&] { test::WriteFile(system32 / "d3d9.dll", test::PeImageWithVersion(test::FixedVersionBlock(6, 1, 0, 0))); },
         {6, 1}, "missing"},
    };
    for (const Case& c : cases) {
        platform::OpenMachineRegistry()->DeleteTree(L"SOFTWARE");
        fs::remove_all(system32);
        system->version = c.os;
        c.fill();
        EXPECT_EQ(Detect(PrerequisiteType::DirectXRuntime), c.expected) << c.name;
    }
    bool installed = true;
    std::wstring version;
    EXPECT_EQ(Installer()->DetectPrerequisite(static_cast<PrerequisiteType>(9), installed, version),
              ErrorCode::InvalidArguments);
    EXPECT_TRUE(log.HasMessage("Unknown prerequisite type: 9"));
}

TEST_F(PrereqDetection, FileVersions) {
    struct Case {
        const char* name;
        std::string bytes;
        std::string expected;  // the version, or the start of the ERROR line
    };
    const std::vector<Case> cases = {
        {"version", test::PeImageWithVersion(test::FixedVersionBlock(10, 0, 19041, 5794)), "10.0.19041.5794"},
        {"no resources", test::TinyPeImage(), "Failed to get version info size for: "},
        {"not a PE image", "MZ plain text", "Failed to get version info size for: "},
        {"no fixed information", test::PeImageWithVersion(std::string(40, '\0')), "Failed to query version value for: "},
    };
    for (const Case& c : cases) {
        const fs::path file = temp / "file.dll";
        test::WriteFile(file, c.bytes);
        log.Clear();
        std::wstring version;
        const ErrorCode result = PrereqInstaller::GetFileVersionString(file, version);
        if (c.expected.find(':') == std::string::npos) {
            EXPECT_EQ(result, ErrorCode::Success) << c.name;
            EXPECT_EQ(WideToUtf8(version), c.expected) << c.name;
        } else {
            EXPECT_EQ(result, ErrorCode::FileAccessDenied) << c.name;
            const std::vector<Json::Value> errors = log.EventsWhere("level", "ERROR");
            ASSERT_EQ(errors.size(), 1u) << c.name;
            EXPECT_TRUE(errors[0]["message"].asString().starts_with(c.expected + file.string())) << c.name;
        }
    }
}

}  // namespace
}  // namespace zuvelo
