#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#endif

#include "install/prereq_installer.h"
#include "platform/unique_fd.h"
#include "tests/install/prereq_fixture.h"
#include "tests/support/fake_program.h"
#include "tests/support/sample_release.h"

namespace zuvelo {
namespace {

namespace fs = std::filesystem;

constexpr PrerequisiteType kVc = PrerequisiteType::VcRedistX64;
constexpr PrerequisiteType kDotNet = PrerequisiteType::DotNetRuntime8;

// What starting a file that is not a program gives: no execute permission on Linux.
#ifdef _WIN32
constexpr uint32_t kNotAProgram = 193;  // ERROR_BAD_EXE_FORMAT
#else
constexpr uint32_t kNotAProgram = 5;  // ERROR_ACCESS_DENIED
#endif

bool LoggedStartingWith(const test::LogCapture& log, const std::string& start) {
    for (const Json::Value& event : log.Events()) {
        if (event["message"].asString().starts_with(start)) return true;
    }
    return false;
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
    // The missing Visual C++ row's installer as the given fake (none when empty).
    // The installer stays until the next call, and its download folder with it.
    ErrorCode InstallWith(const std::optional<test::FakeProgram>& fake) {
        // Windows' undeletable installer is read-only: writable again, it goes with its folder.
        if (fs::exists(installer)) fs::permissions(installer, fs::perms::owner_write, fs::perm_options::add);
        prereqs.reset();
        fs::create_directories(downloads);
        if (fake) test::WriteFakeProgram(installer, *fake);
        log.Clear();
        prereqs = Installer();
        MarkMissing(*prereqs, {kVc});
        return prereqs->InstallDownloadedPrerequisites();
    }

    std::unique_ptr<PrereqInstaller> prereqs;

    fs::path installer = downloads / "VC_redist.x64.exe";
    fs::path ran = temp / "ran";
    fs::path pids = temp / "pids";
    fs::path descriptors = temp / "descriptors";
};

TEST_F(PrereqInstallation, SilentRunsAndTheirResults) {
    struct Case {
        const char* name;
        std::optional<test::FakeProgram> installer;
        ErrorCode expected;
        std::string message;
        bool installerLeft;
    };
    // A failure to delete the installer afterwards is only a warning.
    const std::vector<Case> cases = {
        {"succeeds", test::FakeProgram{.argumentsFile = ran}, ErrorCode::Success,
         "All prerequisites installed successfully", true},
        {"fails", test::FakeProgram{.exitCode = 5}, ErrorCode::PrereqInstallFailed,
         "Installer failed with exit code: 5", false},
        {"runs too long", test::FakeProgram{.pidsFile = pids, .sleepingChild = true, .sleep = true},
         ErrorCode::TimedOut, "Installer process timed out", false},
        {"fails, undeletable", test::FakeProgram{.undeletable = true, .exitCode = 5},
         ErrorCode::PrereqInstallFailed, "Installer failed with exit code: 5", true},
        {"runs too long, undeletable", test::FakeProgram{.undeletable = true, .sleep = true}, ErrorCode::TimedOut,
         "Installer process timed out", true},
        {"missing", std::nullopt, ErrorCode::FileNotFound, "Installer not found: " + ToUtf8Lossy(installer), false},
#ifndef _WIN32
        {"inherits only its standard streams", test::FakeProgram{.descriptorsFile = descriptors}, ErrorCode::Success,
         "All prerequisites installed successfully", true},
#endif
    };
#ifndef _WIN32
    // Open without close-on-exec, as a library's socket may be, and above where a
    // program is run from: no installer may get it.
    const platform::UniqueFd opened(::open(temp.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const platform::UniqueFd inheritable(::fcntl(opened.get(), F_DUPFD, 4));
    ASSERT_TRUE(inheritable);
#endif
    for (const Case& c : cases) {
        installerTimeout = test::milliseconds(c.expected == ErrorCode::TimedOut ? 1000 : 30000);
        EXPECT_EQ(InstallWith(c.installer), c.expected) << c.name;
        EXPECT_TRUE(log.HasMessage(c.message)) << c.name;
        EXPECT_EQ(fs::exists(installer), c.installerLeft) << c.name;
        const std::string undeleted = "Failed to delete installer: " + ToUtf8Lossy(installer) + " - ";
        EXPECT_EQ(LoggedStartingWith(log, undeleted), c.installerLeft && c.expected != ErrorCode::Success)
            << c.name;
    }
    EXPECT_EQ(test::ReadFile(ran), "/quiet /norestart\n");
#ifndef _WIN32
    EXPECT_EQ(test::ReadFile(descriptors), "");
#endif
    // The timed-out installer and what it started have ended.
    std::istringstream started(test::ReadFile(pids));
    size_t count = 0;
    for (uint32_t pid; started >> pid; ++count) EXPECT_TRUE(test::ProcessEnded(pid)) << pid;
    EXPECT_EQ(count, 2u);
}

// What runs is the file opened and checked: never through a link, never a changed file.
TEST_F(PrereqInstallation, OnlyTheCheckedFileRuns) {
    test::WriteFakeProgram(temp / "checked.exe", {.argumentsFile = ran});
    const std::string hash = test::Sha256Hex(test::ReadFile(temp / "checked.exe"));
    const std::vector<std::tuple<std::function<bool()>, ErrorCode, std::string>> cases = {
        {[&] { return test::MakeLink(temp / "checked.exe", installer, test::LinkKind::File); },
         ErrorCode::InternalError, "Failed to create installer process: "},
        {[&] { return test::WriteFakeProgram(installer, {.argumentsFile = ran, .exitCode = 1}), true; },
         ErrorCode::FileHashMismatch, "Hash mismatch. Expected: " + hash},
        {[&] { return fs::copy_file(temp / "checked.exe", installer); }, ErrorCode::Success,
         "Download validation successful"},
    };
    for (const auto& [place, expected, message] : cases) {
        fs::remove(installer);
        fs::remove(ran);
        fs::create_directories(downloads);
        if (!place()) continue;  // no link made: Wine makes none
        log.Clear();
        auto prereqs = Installer();
        MarkMissing(*prereqs, {kVc});
        prereqs->Prerequisites()[0].expectedSha256 = hash;
        EXPECT_EQ(prereqs->InstallPrerequisite(kVc, installer), expected) << message;
        EXPECT_EQ(fs::exists(ran), expected == ErrorCode::Success) << message;
        EXPECT_TRUE(LoggedStartingWith(log, message)) << message;
    }
    // Neither a missing file nor one that is not a program runs.
    test::WriteFile(temp / "text.exe", "not a program\n");
    for (const auto& [name, error] : {std::pair{"missing.exe", 2u}, std::pair{"text.exe", kNotAProgram}}) {
        uint32_t exitCode = 0;
        EXPECT_EQ(Installer()->RunInstaller(temp / name, L"/Q", "", exitCode), ErrorCode::InternalError);
        EXPECT_TRUE(log.HasMessage("Failed to create installer process: " + std::to_string(error))) << name;
    }
}

}  // namespace
}  // namespace zuvelo
