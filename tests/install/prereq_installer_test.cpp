#include "install/prereq_installer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/install/prereq_fixture.h"
#include "tests/support/event_summary.h"
#include "tests/support/https_test_server.h"
#include "tests/support/trusted_ca.h"

namespace zuvelo {
namespace {

namespace fs = std::filesystem;
namespace processor = platform::processor;
using test::FakeSystemInformation;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;

class PrereqInstallerTest : public test::PrereqFixture {
protected:
    test::DetectionRegistry registry;

    std::vector<std::string> StatusEvents() const {
        std::vector<std::string> found;
        for (const Json::Value& event : log.EventsWhere("operation", "prereq_install")) {
            found.push_back(event["component"].asString() + " " + event["status"].asString());
        }
        return found;
    }
};

TEST_F(PrereqInstallerTest, RequirementsInTheirOrder) {
    struct Case {
        std::function<void(FakeSystemInformation&)> set;
        ErrorCode expected;
        std::string message;
    };
    const std::vector<Case> cases = {
        {[](auto& s) { s.freeBytes = 1073741824; }, ErrorCode::Success, "System requirements validation passed"},
        {[](auto& s) { s.freeBytes = 1073741823; }, ErrorCode::InsufficientDiskSpace,
         "Insufficient disk space. Available: 1023 MB, Required: 1024 MB"},
        {[](auto& s) { s.freeError = 5; }, ErrorCode::InsufficientDiskSpace,
         "Insufficient disk space. Available: 0 MB, Required: 1024 MB"},
        {[](auto& s) { s.elevated = false, s.freeBytes = 0; }, ErrorCode::InsufficientPrivileges,
         "Insufficient privileges for installation"},
        {[](auto& s) { s.version = {6, 0}, s.architecture = processor::kX86; }, ErrorCode::InternalError,
         "Unsupported Windows version"},
        {[](auto& s) { s.version = {6, 1}, s.architecture = processor::kX86; }, ErrorCode::InternalError,
         "Unsupported system architecture: x86"},
        {[](auto& s) { s.architecture = processor::kArm64; }, ErrorCode::InternalError,
         "Unsupported system architecture: ARM64"},
    };
    for (const Case& c : cases) {
        *system = FakeSystemInformation();
        c.set(*system);
        log.Clear();
        EXPECT_EQ(Installer()->ValidateSystemRequirements(), c.expected) << c.message;
        EXPECT_TRUE(log.HasMessage(c.message)) << c.message;
    }
}

TEST_F(PrereqInstallerTest, DirectXRowOnlyBelowWindows10) {
    const auto types = [&](platform::OsVersion version) {
        system->version = version;
        auto installer = Installer();
        installer->BuildPrerequisiteTable();
        std::vector<std::string> words;
        for (const PrerequisiteInfo& row : installer->Prerequisites()) words.push_back(PrerequisiteEventWord(row.type));
        return words;
    };
    EXPECT_THAT(types({10, 0}), ElementsAre("vc_redist_x64", "dotnet_runtime_8_0"));
    EXPECT_THAT(types({6, 1}), ElementsAre("vc_redist_x64", "dotnet_runtime_8_0", "directx_runtime"));
}

TEST_F(PrereqInstallerTest, NothingMissingIsAlreadyInstalledWithoutDownloads) {
    test::SetSz(test::kVcKey, L"Version", L"14.40.33810.0");
    test::SetDword(test::kVcKey, L"Installed", 1);
    test::SetSz(test::kDotNetKey, L"", L"8.0.11");
    EXPECT_EQ(Installer()->InstallPrerequisites(), ErrorCode::PrereqAlreadyInstalled);
    EXPECT_FALSE(fs::exists(downloads));
    EXPECT_THAT(StatusEvents(), ElementsAre("vc_redist_x64 installed", "dotnet_runtime_8_0 installed"));
    EXPECT_THAT(test::SummarizeAll(log.Events()), Not(Contains("completion install_prerequisites")));
}

// An installer that reports success but leaves its runtime missing fails the check after it.
TEST_F(PrereqInstallerTest, StillMissingAfterInstallationFailsTheVerification) {
    test::SetSz(test::kDotNetKey, L"", L"8.0.11");
    test::WriteFakeProgram(temp / "www/prerequisites/VC_redist.x64.exe", {});
    test::HttpsTestServer server(temp / "www");
    test::ScopedTrustedCa trust(server.CaFile());
    EXPECT_EQ(Installer(Utf8ToWide(server.Url("/")))->InstallPrerequisites(), ErrorCode::PrereqVerifyFailed);
    EXPECT_TRUE(log.HasMessage("Post-installation verification failed"));
    EXPECT_THAT(StatusEvents(), ElementsAre("vc_redist_x64 missing", "dotnet_runtime_8_0 installed",
                                            "vc_redist_x64 missing", "dotnet_runtime_8_0 installed"));
    EXPECT_FALSE(fs::exists(downloads));
}

}  // namespace
}  // namespace zuvelo
