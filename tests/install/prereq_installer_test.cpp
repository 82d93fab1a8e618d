#include "install/prereq_installer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/install/prereq_fixture.h"
#include "tests/support/event_summary.h"
#include "tests/support/https_test_server.h"

namespace zuvelo {
namespace {

namespace fs = std::filesystem;
using test::PrereqFixture;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;
namespace processor = platform::processor;

class PrereqRequirements : public PrereqFixture {};

TEST_F(PrereqRequirements, EachRefusalInItsOrder) {
    struct Case {
        const char* name;
        std::function<void(test::FakeSystemInformation&)> set;
        ErrorCode expected;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"exactly 1 GiB free", [](auto& s) { s.freeBytes = 1073741824; }, ErrorCode::Success,
         "System requirements validation passed"},
        {"one byte less", [](auto& s) { s.freeBytes = 1073741823; }, ErrorCode::InsufficientDiskSpace,
         "Insufficient disk space. Available: 1023 MB, Required: 1024 MB"},
        {"failed free-space query", [](auto& s) { s.freeError = 5; }, ErrorCode::InsufficientDiskSpace,
         "Insufficient disk space. Available: 0 MB, Required: 1024 MB"},
        {"not elevated, before the space", [](auto& s) { s.elevated = false, s.freeBytes = 0; },
         ErrorCode::InsufficientPrivileges, "Insufficient privileges for installation"},
        {"Windows 6.0, before the processor", [](auto& s) { s.version = {6, 0}, s.architecture = processor::kX86; },
         ErrorCode::InternalError, "Unsupported Windows version"},
        {"failed version query", [](auto& s) { s.versionError = 13; }, ErrorCode::InternalError,
         "Unsupported Windows version"},
        {"Windows 6.1 on x86", [](auto& s) { s.version = {6, 1}, s.architecture = processor::kX86; },
         ErrorCode::InternalError, "Unsupported system architecture: x86"},
        {"ARM64", [](auto& s) { s.architecture = processor::kArm64; }, ErrorCode::InternalError,
         "Unsupported system architecture: ARM64"},
        {"another processor", [](auto& s) { s.architecture = processor::kUnknown; }, ErrorCode::InternalError,
         "Unsupported system architecture: Unknown"},
    };
    for (const Case& c : cases) {
        *system = test::FakeSystemInformation();
        c.set(*system);
        log.Clear();
        EXPECT_EQ(Installer()->ValidateSystemRequirements(), c.expected) << c.name;
        EXPECT_TRUE(log.HasMessage(c.message)) << c.name;
    }
}

TEST_F(PrereqRequirements, DirectXRowOnlyBelowWindows10) {
    const auto words = [&](platform::OsVersion version) {
        system->version = version;
        auto installer = Installer();
        installer->BuildPrerequisiteTable();
        std::vector<std::string> found;
        for (const PrerequisiteInfo& row : installer->Prerequisites()) found.push_back(PrerequisiteEventWord(row.type));
        return found;
    };
    EXPECT_THAT(words({10, 0}), ElementsAre("vc_redist_x64", "dotnet_runtime_8_0"));
    EXPECT_THAT(words({6, 1}), ElementsAre("vc_redist_x64", "dotnet_runtime_8_0", "directx_runtime"));
    EXPECT_STREQ(PrerequisiteEventWord(static_cast<PrerequisiteType>(7)), "unknown");
}

class PrereqStatus : public PrereqFixture {
protected:
    void RegisterVcRedist() {
        test::SetRegistryString(test::kVcKey, L"Version", L"14.40.33810.0");
        test::SetRegistryValue(test::kVcKey, L"Installed", platform::reg::kDword, platform::RegistryDwordData(1));
    }
    std::vector<std::string> StatusEvents() const {
        std::vector<std::string> found;
        for (const Json::Value& event : log.EventsWhere("operation", "prereq_install")) found.push_back(test::Summarize(event));
        return found;
    }
};

// Nothing missing: 104, no download folder, no completion event.
TEST_F(PrereqStatus, EverythingPresentEndsWithAlreadyInstalled) {
    RegisterVcRedist();
    test::SetRegistryString(test::kDotNetKey, L"", L"8.0.11");
    auto installer = Installer();
    EXPECT_EQ(installer->InstallPrerequisites(), ErrorCode::PrereqAlreadyInstalled);
    EXPECT_FALSE(fs::exists(downloads));
    EXPECT_TRUE(log.HasMessage("All required prerequisites are installed"));
    EXPECT_THAT(StatusEvents(), ElementsAre("status prereq_install installed", "status prereq_install installed"));
    EXPECT_THAT(test::SummarizeAll(log.Events()), Not(Contains("completion install_prerequisites")));
}

TEST_F(PrereqStatus, OptionalRowIsReportedButDoesNotDecide) {
    RegisterVcRedist();
    test::ScopedEnvironmentVariable noDotnet("PATH", (temp / "empty").string());
    auto installer = Installer();
    installer->BuildPrerequisiteTable();
    installer->Prerequisites()[1].required = false;
    EXPECT_EQ(installer->CheckPrerequisiteStatus(), ErrorCode::PrereqAlreadyInstalled);
    const std::vector<Json::Value> events = log.EventsWhere("operation", "prereq_install");
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0]["component"].asString(), "vc_redist_x64");
    EXPECT_EQ(events[0]["version"].asString(), "14.40.33810.0");
    EXPECT_EQ(events[1]["component"].asString(), "dotnet_runtime_8_0");
    EXPECT_EQ(events[1]["status"].asString(), "missing");
    EXPECT_FALSE(events[1].isMember("version"));
    EXPECT_FALSE(log.HasMessage("Missing required prerequisite: .NET 8.0 Desktop Runtime"));
}

// An installer that reports success but leaves the runtime missing fails the check after it.
TEST_F(PrereqStatus, StillMissingAfterItsInstallerFailsTheVerification) {
    test::SetRegistryString(test::kDotNetKey, L"", L"8.0.11");
    const fs::path www = temp / "www";
    test::WriteFile(www / "prerequisites/VC_redist.x64.exe", "#!/bin/sh\nexit 0\n");
    test::HttpsTestServer server(www);
    test::ScopedEnvironmentVariable trust("SSL_CERT_FILE", server.CaFile().string());
    auto installer = Installer(Utf8ToWide(server.Url("/")));
    EXPECT_EQ(installer->InstallPrerequisites(), ErrorCode::PrereqVerifyFailed);
    EXPECT_TRUE(log.HasMessage("Post-installation verification failed"));
    EXPECT_THAT(StatusEvents(), ElementsAre("status prereq_install missing", "status prereq_install installed",
                                            "status prereq_install missing", "status prereq_install installed"));
    installer.reset();
    EXPECT_FALSE(fs::exists(downloads));
}

}  // namespace
}  // namespace zuvelo
