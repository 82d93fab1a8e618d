#include "uninstall/process_manager.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "common/text.h"
#include "platform/win32_error.h"
#include "tests/support/log_capture.h"
#include "tests/support/sleeping_process.h"
#include "tests/support/test_folders.h"

namespace zuvelo {
namespace {

using namespace std::chrono_literals;

// Names of this run's own (the product's would end the update runs of other
// tests on the machine), spelled as the product's are.
TEST(ProcessManagerTest, EndsProductProcessesGracefullyOrByForce) {
    const std::string stem = "zuvelo-test-" + std::to_string(::getpid());
    const std::vector<std::wstring> names = {Utf8ToWide(stem + "-client.exe"), Utf8ToWide(stem + "-launcher.exe"),
                                             Utf8ToWide(stem + "-elevated.exe")};
    test::LogCapture log;
    test::TempFolder bin;
    test::TempFolder other;
    test::SleepingProcess polite(bin.path(), stem + "-client.exe");
    test::SleepingProcess stubborn(other.path(), stem + "-LAUNCHER.EXE", true);
    test::SleepingProcess bystander(bin.path(), stem + "-client.exe.old");
    // Programs built here carry no ".exe" on Linux.
    std::optional<test::SleepingProcess> bare;
    if (!platform::kProgramNamesEndInExe) bare.emplace(other.path(), stem + "-elevated");

    int32_t ended = 0;
    EXPECT_EQ(ProcessManager(names, 300ms).TerminateAllProductProcesses(&ended), ErrorCode::Success);
    EXPECT_EQ(ended, bare ? 3 : 2);
    if (bare) {
        EXPECT_EQ(bare->Reap(), test::kEndedOnRequest);
    }
    EXPECT_EQ(polite.Reap(), test::kEndedOnRequest);
    EXPECT_EQ(stubborn.Reap(), test::kEndedByForce);
    EXPECT_EQ(bystander.Reap(false), -1) << "still running";
    EXPECT_TRUE(log.HasMessage("Process terminated gracefully"));
    EXPECT_TRUE(log.HasMessage("Graceful termination failed, forcing"));
    EXPECT_TRUE(log.HasMessage("Process terminated forcefully"));
}

// A product process this program may not open is not passed over: its files would be
// removed under it unannounced.
TEST(ProcessManagerTest, AProcessThatCannotBeOpenedFailsTheStep) {
    test::LogCapture log;
#ifdef _WIN32
    test::TempFolder bin;
    test::SleepingProcess guarded(bin.path(), "ZuveloClient.exe", true, true);
    const uint32_t pid = static_cast<uint32_t>(guarded.pid());
    int32_t ended = 0;
    EXPECT_EQ(ProcessManager(GetProductProcessNames(), 300ms).TerminateAllProductProcesses(&ended),
              ErrorCode::InternalError);
    EXPECT_EQ(ended, 0);
    EXPECT_EQ(guarded.Reap(false), -1) << "still running";
#else
    // Root opens every process here: one found that could not be opened is made by hand.
    const uint32_t pid = 4242;
    std::vector<ProcessInfo> found(1);
    found[0].pid = pid;
    found[0].openError = platform::win32::kAccessDenied;
    EXPECT_EQ(ProcessManager(GetProductProcessNames(), 300ms).TerminateProcesses(found), ErrorCode::InternalError);
#endif
    EXPECT_TRUE(log.HasMessage("Failed to open process for termination: 5"));
    EXPECT_TRUE(log.HasMessage("Failed to terminate process " + std::to_string(pid)));
}

}  // namespace
}  // namespace zuvelo
