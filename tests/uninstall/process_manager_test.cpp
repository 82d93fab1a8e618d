#include "uninstall/process_manager.h"

#include <gtest/gtest.h>

#include <optional>

#include "tests/support/log_capture.h"
#include "tests/support/sleeping_process.h"
#include "tests/support/test_folders.h"

namespace zuvelo {
namespace {

using namespace std::chrono_literals;

TEST(ProcessManagerTest, EndsProductProcessesGracefullyOrByForce) {
    test::LogCapture log;
    test::TempFolder bin;
    test::TempFolder other;
    test::SleepingProcess polite(bin.path(), "ZuveloClient.exe");
    test::SleepingProcess stubborn(other.path(), "ZUVELOLAUNCHER.EXE", true);
    test::SleepingProcess bystander(bin.path(), "ZuveloClient.exe.old");
    // Programs built here carry no ".exe" on Linux.
    std::optional<test::SleepingProcess> bare;
    if (!platform::kProgramNamesEndInExe) bare.emplace(other.path(), "ZuveloElevated");

    int32_t ended = 0;
    EXPECT_EQ(ProcessManager(GetProductProcessNames(), 300ms).TerminateAllProductProcesses(&ended), ErrorCode::Success);
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

}  // namespace
}  // namespace zuvelo
