#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "install/prereq_installer.h"
#include "tests/install/prereq_fixture.h"
#include "tests/support/sample_release.h"
#include "tests/support/event_summary.h"

namespace zuvelo {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;

constexpr PrerequisiteType kVc = PrerequisiteType::VcRedistX64;
constexpr PrerequisiteType kDotNet = PrerequisiteType::DotNetRuntime8;

TEST(PrereqExitCodes, MappedPerType) {
    struct Case {
        PrerequisiteType type;
        uint32_t exitCode;
        ErrorCode expected;
        bool failureLine;
    };
    const std::vector<Case> cases = {
        {kVc, 0, ErrorCode::Success, false},
        {kDotNet, 3010, ErrorCode::Success, false},  // restart required, none started
        {PrerequisiteType::DirectXRuntime, 3010, ErrorCode::Success, false},
        {kVc, 1618, ErrorCode::PrereqInstallFailed, false},
        {kVc, 1633, ErrorCode::InternalError, false},
        {kDotNet, 1618, ErrorCode::PrereqInstallFailed, true},
        {kDotNet, 2147942405, ErrorCode::InsufficientPrivileges, false},
        {kDotNet, 2147954550, ErrorCode::NetworkUnreachable, false},
        {kVc, 2147942405, ErrorCode::PrereqInstallFailed, true},
        {PrerequisiteType::WindowsSdk, 1633, ErrorCode::PrereqInstallFailed, true},
        {kVc, 4294967295, ErrorCode::PrereqInstallFailed, true},
    };
    for (const Case& c : cases) {
        test::LogCapture log;
        EXPECT_EQ(PrereqInstaller::MapInstallerExitCode(c.type, c.exitCode), c.expected) << c.exitCode;
        EXPECT_EQ(log.HasMessage("Installer failed with exit code: " + std::to_string(c.exitCode)), c.failureLine)
            << c.exitCode;
    }
}

class PrereqInstallation : public test::PrereqFixture {
protected:
    fs::path installer = downloads / "VC_redist.x64.exe";
    fs::path pids = temp / "pids";
    fs::path ran = temp / "ran";
};

// Installers as scripts in the download folder, run for the one missing row.
TEST_F(PrereqInstallation, SilentRunsAndTheirResults) {
    installerTimeout = test::milliseconds(1000);
    const std::string undeletable = "rm -f '" + installer.string() + "'; mkdir -p '" + installer.string() + "/x'; ";
    struct Case {
        const char* name;
        std::string script;  // empty: no installer at all
        ErrorCode expected;
        std::string message;
        bool installerLeft;
    };
    const std::vector<Case> cases = {
        {"success", "echo \"$@\" > '" + ran.string() + "'", ErrorCode::Success, "All prerequisites installed successfully",
         true},
        {"failure", "exit 5", ErrorCode::PrereqInstallFailed, "Installer failed with exit code: 5", false},
        {"too long", "echo $$ > '" + pids.string() + "'; sleep 30 & echo $! >> '" + pids.string() + "'; wait",
         ErrorCode::TimedOut, "Installer process timed out", false},
        {"failure that cannot be tidied", undeletable + "exit 5", ErrorCode::PrereqInstallFailed,
         "Installer failed with exit code: 5", true},
        {"too long, cannot be tidied", undeletable + "sleep 30", ErrorCode::TimedOut, "Installer process timed out", true},
        {"not there", "", ErrorCode::FileNotFound, "Installer not found: " + installer.string(), false},
    };
    for (const Case& c : cases) {
        fs::remove_all(downloads);
        fs::create_directories(downloads);
        fs::remove(ran);
        if (!c.script.empty()) test::WriteScript(installer, c.script);
        log.Clear();
        auto prereqs = Installer();
        MarkMissing(*prereqs, {kVc});
        EXPECT_EQ(prereqs->InstallDownloadedPrerequisites(), c.expected) << c.name;
        EXPECT_TRUE(log.HasMessage(c.message)) << c.name;
        EXPECT_EQ(fs::exists(installer), c.installerLeft) << c.name;
        if (c.expected != ErrorCode::Success && !c.script.empty()) {
            EXPECT_TRUE(log.HasMessage("Failed to install: Visual C++ Redistributable (x64)")) << c.name;
            EXPECT_EQ(log.HasMessage("Failed to delete installer: " + installer.string() + " - Directory not empty"),
                      c.installerLeft)
                << c.name;
        }
    }
    // Everything the timed-out installer started has ended too.
    const std::string started = test::ReadFile(pids);
    for (size_t at = 0, end; (end = started.find('\n', at)) != std::string::npos; at = end + 1) {
        EXPECT_TRUE(test::ProcessEnded(started.substr(at, end - at))) << started;
    }
    EXPECT_EQ(std::count(started.begin(), started.end(), '\n'), 2);
}

TEST_F(PrereqInstallation, ProgressAndSwitches) {
    fs::create_directories(downloads);
    test::WriteScript(installer, "echo \"$@\" > '" + ran.string() + "'");
    auto prereqs = Installer();
    MarkMissing(*prereqs, {kVc});
    ASSERT_EQ(prereqs->InstallDownloadedPrerequisites(), ErrorCode::Success);
    EXPECT_EQ(test::ReadFile(ran), "/quiet /norestart\n");
    std::vector<std::string> progress;
    for (const Json::Value& event : log.EventsWhere("event_type", "progress")) progress.push_back(test::Summarize(event));
    EXPECT_THAT(progress, ElementsAre("progress install:Visual C++ Redistributable (x64) 0",
                                      "progress install:Visual C++ Redistributable (x64) 100"));
}

// The file that runs is the one opened and checked, never a link or a changed file.
TEST_F(PrereqInstallation, OnlyTheCheckedFileRuns) {
    fs::create_directories(downloads);
    const std::string script = "touch '" + ran.string() + "'";
    test::WriteScript(temp / "real.exe", script);
    struct Case {
        const char* name;
        std::function<void()> place;
        std::string hash;
        ErrorCode expected;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"a link", [&] { fs::create_symlink(temp / "real.exe", installer); }, "", ErrorCode::InternalError,
         "Failed to create installer process: "},
        {"not runnable", [&] { test::WriteFile(installer, "#!/bin/sh\n" + script + "\n"); }, "",
         ErrorCode::InternalError, "Failed to create installer process: 5"},
        {"changed since the download", [&] { test::WriteScript(installer, script + " # changed"); },
         test::Sha256Hex("#!/bin/sh\n" + script + "\n"), ErrorCode::FileHashMismatch, "Hash mismatch. Expected: "},
        {"as downloaded", [&] { test::WriteScript(installer, script); }, test::Sha256Hex("#!/bin/sh\n" + script + "\n"),
         ErrorCode::Success, "Download validation successful"},
    };
    for (const Case& c : cases) {
        fs::remove(installer);
        fs::remove(ran);
        c.place();
        log.Clear();
        auto prereqs = Installer();
        MarkMissing(*prereqs, {kVc});
        prereqs->Prerequisites()[0].expectedSha256 = c.hash;
        EXPECT_EQ(prereqs->InstallPrerequisite(kVc, installer), c.expected) << c.name;
        EXPECT_EQ(fs::exists(ran), c.expected == ErrorCode::Success) << c.name;
        bool found = false;
        for (const Json::Value& event : log.Events()) found = found || event["message"].asString().starts_with(c.message);
        EXPECT_TRUE(found) << c.name;
    }
    uint32_t exitCode = 0;
    EXPECT_EQ(Installer()->RunInstaller(temp / "missing.exe", L"/Q", "", exitCode), ErrorCode::InternalError);
    EXPECT_TRUE(log.HasMessage("Failed to create installer process: 2"));
}

}  // namespace
}  // namespace zuvelo
