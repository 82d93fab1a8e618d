#include "uninstall/process_manager.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "common/text.h"
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

}  // namespace
}  // namespace zuvelo
