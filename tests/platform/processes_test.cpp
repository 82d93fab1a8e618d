#include "platform/processes.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "common/text.h"
#include "platform/win32_error.h"
#include "tests/support/sleeping_process.h"
#include "tests/support/test_folders.h"

namespace zuvelo::platform {
namespace {

using namespace std::chrono_literals;

std::optional<RunningProcess> Find(pid_t pid) {
    std::vector<RunningProcess> all;
    EXPECT_EQ(ListProcesses(all), 0u);
    for (const RunningProcess& process : all) {
        if (process.pid == static_cast<uint32_t>(pid)) return process;
    }
    return std::nullopt;
}

TEST(ProcessHandleTest, SignalsOnlyTheProcessFoundWithItsImage) {
    test::TempFolder bin;
    test::SleepingProcess found(bin.path(), "image-a.exe");
    test::SleepingProcess bystander(bin.path(), "image-b.exe");
    const std::optional<RunningProcess> a = Find(found.pid());
    std::optional<RunningProcess> b = Find(bystander.pid());
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->exeName, "image-a.exe");
    EXPECT_TRUE(std::filesystem::equivalent(PathFromUtf8(a->imagePath), bin / "image-a.exe")) << a->imagePath;

    // The id found now runs another image: the process found is gone, and with no
    // handle nothing can be sent.
    RunningProcess reused = *b;
    reused.image = a->image;
    ProcessHandle refused;
    EXPECT_EQ(ProcessHandle::Open(reused, refused), win32::kInvalidParameter);
    EXPECT_FALSE(refused.valid());

    ProcessHandle handle;
    ASSERT_EQ(ProcessHandle::Open(*a, handle), 0u);
    EXPECT_EQ(handle.WaitForExit(20ms), win32::kWaitTimeout);
    found.Kill();
    EXPECT_EQ(found.Reap(), test::kEndedByForce) << "ended by the kill, not on its own";
    // The process held has ended and its id is free for reuse: nothing is sent.
    EXPECT_EQ(handle.Terminate(), win32::kInvalidParameter);
    EXPECT_EQ(handle.RequestClose(), win32::kInvalidParameter);
    EXPECT_EQ(handle.WaitForExit(0ms), 0u);
    EXPECT_EQ(bystander.Reap(false), -1) << "still running";

    // Asked to close (SIGTERM; WM_CLOSE to its window), the bystander ends.
    ProcessHandle polite;
    ASSERT_EQ(ProcessHandle::Open(*b, polite), 0u);
    EXPECT_EQ(polite.RequestClose(), 0u);
    EXPECT_EQ(polite.WaitForExit(10s), 0u);
}

}  // namespace
}  // namespace zuvelo::platform
