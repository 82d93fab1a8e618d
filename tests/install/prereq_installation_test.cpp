#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "install/prereq_installer.h"
#include "tests/install/prereq_fixture.h"
#include "tests/support/sample_release.h"

namespace zuvelo {
namespace {

namespace fs = std::filesystem;

constexpr PrerequisiteType kVc = PrerequisiteType::VcRedistX64;
constexpr PrerequisiteType kDotNet = PrerequisiteType::DotNetRuntime8;

// Gone, or a zombie waiting for its reaper.
bool ProcessEnded(const std::string& pid) {
    std::ifstream in("/proc/" + pid + "/stat");
    const std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = stat.rfind(')');
    return close == std::string::npos || stat.compare(close + 2, 1, "Z") == 0;
}

TEST(PrereqExitCodes, MappedPerType) {
    struct Case {
        PrerequisiteType type;
        uint32_t exitCode;
        ErrorCode expected;
        bool failureLine;  // "Installer failed with exit code: ..."
    };
    const std::vector<Case> cases = {
        {kVc, 0, ErrorCode::Success, false},
        {PrerequisiteType::DirectXRuntime, 3010, ErrorCode::Success, false},  // restart required, none started
        {kVc, 1618, ErrorCode::PrereqInstallFailed, false},
        {kVc, 1633, ErrorCode::InternalError, false},
        {kDotNet, 1633, ErrorCode::PrereqInstallFailed, true},
        {kDotNet, 2147942405, ErrorCode::InsufficientPrivileges, false},
        {kDotNet, 2147954550, ErrorCode::NetworkUnreachable, false},
        {kVc, 2147942405, ErrorCode::PrereqInstallFailed, true},
        {kVc, 4294967295, ErrorCode::PrereqInstallFailed, true},
    };
    for (const Case& c : cases) {
        test::LogCapture log;
        EXPECT_EQ(PrereqInstaller::MapInstallerExitCode(c.type, c.exitCode), c.expected) << c.exitCode;
        EXPECT_EQ(log.HasMessage("Installer failed with exit code: " + std::to_string(c.exitCode)), c.failureLine);
    }
}

class PrereqInstallation : public test::PrereqFixture {
protected:
    // The missing Visual C++ row's installer as the given script (none when empty).
    // The installer stays until the next call, and its download folder with it.
    ErrorCode InstallWith(const std::string& script) {
        prereqs.reset();
        fs::create_directories(downloads);
        if (!script.empty()) test::WriteScript(installer, script);
        log.Clear();
        prereqs = Installer();
        MarkMissing(*prereqs, {kVc});
        return prereqs->InstallDownloadedPrerequisites();
    }

    std::unique_ptr<PrereqInstaller> prereqs;

    fs::path installer = downloads / "VC_redist.x64.exe";
    std::string ran = (temp / "ran").string();
    std::string pids = (temp / "pids").string();
};

TEST_F(PrereqInstallation, SilentRunsAndTheirResults) {
    installerTimeout = test::milliseconds(1000);
    // A failure to delete the installer afterwards is only a warning.
    const std::string undeletable = "rm -f '" + installer.string() + "'; mkdir -p '" + installer.string() + "/x'; ";
    struct Case {
        std::string script;
        ErrorCode expected;
        std::string message;
        bool installerLeft;
    };
    const std::vector<Case> cases = {
        {"echo \"$@\" > '" + ran + "'", ErrorCode::Success, "All prerequisites installed successfully", true},
        {"exit 5", ErrorCode::PrereqInstallFailed, "Installer failed with exit code: 5", false},
        {"echo $$ > '" + pids + "'; sleep 30 & echo $! >> '" + pids + "'; wait", ErrorCode::TimedOut,
         "Installer process timed out", false},
        {undeletable + "exit 5", ErrorCode::PrereqInstallFailed, "Installer failed with exit code: 5", true},
        {undeletable + "sleep 30", ErrorCode::TimedOut, "Installer process timed out", true},
        {"", ErrorCode::FileNotFound, "Installer not found: " + installer.string(), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(InstallWith(c.script), c.expected) << c.script;
        EXPECT_TRUE(log.HasMessage(c.message)) << c.script;
        EXPECT_EQ(fs::exists(installer), c.installerLeft) << c.script;
        EXPECT_EQ(log.HasMessage("Failed to delete installer: " + installer.string() + " - Directory not empty"),
                  c.installerLeft && c.expected != ErrorCode::Success)
            << c.script;
    }
    EXPECT_EQ(test::ReadFile(ran), "/quiet /norestart\n");
    // The timed-out installer and what it started have ended.
    std::istringstream started(test::ReadFile(pids));
    for (std::string pid; started >> pid;) EXPECT_TRUE(ProcessEnded(pid)) << pid;
}

// What runs is the file opened and checked: never through a link, never a changed file.
TEST_F(PrereqInstallation, OnlyTheCheckedFileRuns) {
    fs::create_directories(downloads);
    const std::string script = "touch '" + ran + "'";
    const std::string hash = test::Sha256Hex("#!/bin/sh\n" + script + "\n");
    test::WriteScript(temp / "real.exe", script);
    const std::vector<std::tuple<std::function<void()>, ErrorCode, std::string>> cases = {
        {[&] { fs::create_symlink(temp / "real.exe", installer); }, ErrorCode::InternalError,
         "Failed to create installer process: "},
        {[&] { test::WriteFile(installer, "#!/bin/sh\n" + script + "\n"); }, ErrorCode::InternalError,
         "Failed to create installer process: 5"},  // not runnable
        {[&] { test::WriteScript(installer, script + " # changed"); }, ErrorCode::FileHashMismatch,
         "Hash mismatch. Expected: " + hash},
        {[&] { test::WriteScript(installer, script); }, ErrorCode::Success, "Download validation successful"},
    };
    for (const auto& [place, expected, message] : cases) {
        fs::remove(installer);
        fs::remove(ran);
        place();
        log.Clear();
        auto prereqs = Installer();
        MarkMissing(*prereqs, {kVc});
        prereqs->Prerequisites()[0].expectedSha256 = hash;
        EXPECT_EQ(prereqs->InstallPrerequisite(kVc, installer), expected) << message;
        EXPECT_EQ(fs::exists(ran), expected == ErrorCode::Success) << message;
        bool found = false;
        for (const Json::Value& event : log.Events()) found = found || event["message"].asString().starts_with(message);
        EXPECT_TRUE(found) << message;
    }
    uint32_t exitCode = 0;
    EXPECT_EQ(Installer()->RunInstaller(temp / "missing.exe", L"/Q", "", exitCode), ErrorCode::InternalError);
    EXPECT_TRUE(log.HasMessage("Failed to create installer process: 2"));
}

}  // namespace
}  // namespace zuvelo
