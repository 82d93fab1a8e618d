// The progress pipe and the administrator check of the built ZuveloElevated.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <filesystem>
#include <string>
#include <vector>

#include "tests/e2e/elevated_program.h"
#include "tests/support/event_summary.h"
#include "tests/support/pipe_listener.h"
#include "tests/support/program_runner.h"
#include "tests/support/scoped_env.h"
#include "tests/support/test_folders.h"

namespace zuvelo {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

// Only a guard against a hung run; nothing here depends on timing.
constexpr int kListenerGuardMs = 120000;

class ElevatedPipeTest : public testing::Test {
protected:
    test::TempFolder machineRoot_;
    test::TempFolder temp_;

    test::ProgramResult Run(const std::string& program, const std::vector<std::string>& arguments) {
        return test::RunProgram(program, arguments,
                                {{"ZUVELO_MACHINE_ROOT", machineRoot_.path().string()},
                                 {test::kTempFolderVariable, temp_.path().string()}});
    }
    std::vector<std::string> ReleaseMissingSession(const std::vector<std::string>& pipeArguments) {
        std::vector<std::string> arguments = pipeArguments;
        for (const char* a : {"--release-session", "--session-root"}) arguments.push_back(a);
        arguments.push_back((temp_ / "no-session").string());
        return arguments;
    }
};

const std::vector<std::string> kMissingSessionEvents{
    "diagnostic INFO ZuveloElevated starting", "status startup checking_environment",
    "status session_release starting",         "diagnostic WARNING Session root not found for release",
    "completion main_operation",               "diagnostic INFO ZuveloElevated completed successfully"};

TEST_F(ElevatedPipeTest, EveryLineGoesToTheListenerAndNoneToStandardOutput) {
    // Named pipes are machine-wide: the name is this test's own.
    const std::string name = "zuvelo-progress-" + machineRoot_.path().filename().string();
    test::PipeListener listener(machineRoot_ / "pipe" / name);
    const test::ProgramResult result =
        Run(kElevatedProgram, ReleaseMissingSession({"--progress-pipe", "\\\\.\\pipe\\" + name}));
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    ASSERT_TRUE(listener.WaitUntilDone(kListenerGuardMs));
    EXPECT_THAT(test::SummarizeAll(test::ParseJsonLines(listener.Lines())), ElementsAreArray(kMissingSessionEvents));
}

TEST_F(ElevatedPipeTest, PipeNameTooLongForASocketFailsWithSeven) {
    // Too long for a socket address and for a Windows pipe name (256 characters).
    const std::string name = "\\\\.\\pipe\\" + std::string(300, 'p');
    for (const bool help : {false, true}) {
        std::vector<std::string> arguments = ReleaseMissingSession({"--progress-pipe", name});
        if (help) arguments.push_back("--help");
        const test::ProgramResult result = Run(kElevatedProgram, arguments);
        EXPECT_EQ(result.exitCode, 7);
        EXPECT_EQ(result.err, "Error: Failed to connect to progress pipe: " + name + "\n");
        EXPECT_EQ(result.out, "") << "no usage, no events";
    }
}

TEST_F(ElevatedPipeTest, EmptyPipeNameWritesToStandardOutput) {
    const test::ProgramResult result = Run(kElevatedProgram, ReleaseMissingSession({"--progress-pipe", ""}));
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_THAT(test::SummarizeAll(test::ParseJsonLines(result.out)), ElementsAreArray(kMissingSessionEvents));
}

TEST_F(ElevatedPipeTest, NonAdministratorIsRefusedEvenForHelp) {
#ifdef _WIN32
    GTEST_SKIP() << "running the program without rights needs Linux's setpriv (Wine gives every program them)";
#else
    if (::geteuid() != 0 || !fs::exists("/usr/bin/setpriv")) GTEST_SKIP() << "needs root and setpriv";
    test::TempFolder bin;
    const fs::path program = test::WorldRunnableCopy(kElevatedProgram, bin.path());
    for (const std::vector<std::string>& tail :
         {ReleaseMissingSession({}), std::vector<std::string>{"--help"}, std::vector<std::string>{}}) {
        std::vector<std::string> arguments{"--reuid=65534", "--regid=65534", "--clear-groups", program.string()};
        arguments.insert(arguments.end(), tail.begin(), tail.end());
        const test::ProgramResult result = Run("/usr/bin/setpriv", arguments);
        EXPECT_EQ(result.exitCode, 2) << result.err;
        EXPECT_EQ(result.err,
                  "Error: This application requires administrator privileges.\n"
                  "Please run as administrator or from an elevated command prompt.\n");
        EXPECT_EQ(result.out, "");
    }
#endif
}

}  // namespace
}  // namespace zuvelo
