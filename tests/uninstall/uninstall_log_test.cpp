#include "uninstall/uninstall_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "common/paths.h"
#include "common/text.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_folders.h"

namespace zuvelo {
namespace {

namespace fs = std::filesystem;

// 2026-09-21T10:59:29Z
const auto kStarted = std::chrono::system_clock::from_time_t(1789988369);

TEST(UninstallLogTest, NameHeaderAndSummaryBytes) {
    test::ScopedMachineRoot root;
    const std::wstring path = GetLogFilePath(kStarted);
    EXPECT_EQ(WideToUtf8(path), (root.path() / "ProgramData/Zuvelo/Logs/uninstall-20260921-105929.log").string());

    UninstallLog log;
    ASSERT_EQ(log.Create(path, kStarted), ErrorCode::Success);
    UninstallStats stats{1, 2, 1, 40, 7, 1234, true};
    log.Append(LogSummary(L"2.0.0", L"/opt/Zuv\u00e9lo", stats));
    EXPECT_EQ(test::ReadFile(NativePath(path)),
              "Zuvelo Uninstaller Log\nStarted: 2026-09-21T10:59:29Z\n\n"
              "\n=== Uninstall Summary ===\nVersion: 2.0.0\nInstall Path: /opt/Zuv\xc3\xa9lo\n"
              "Processes Terminated: 1\nShortcuts Removed: 2\nRegistry Keys Removed: 1\nFiles Removed: 40\n"
              "Directories Removed: 7\nDuration: 1234 ms\nSuccess: true\n");
}

TEST(UninstallLogTest, ATakenNameOrPlantedLinkIsNeverWrittenThrough) {
    test::ScopedMachineRoot root;
    test::TempFolder elsewhere;
    const std::wstring path = GetLogFilePath(kStarted);
    fs::create_directories(NativePath(path).parent_path());
    test::WriteFile(elsewhere / "target", "untouched");
    fs::create_symlink(elsewhere / "target", NativePath(path));

    UninstallLog first;
    UninstallLog second;
    ASSERT_EQ(first.Create(path, kStarted), ErrorCode::Success);
    ASSERT_EQ(second.Create(path, kStarted), ErrorCode::Success);
    EXPECT_EQ(first.Path().substr(first.Path().size() - 6), L"-1.log");
    EXPECT_EQ(second.Path().substr(second.Path().size() - 6), L"-2.log");
    EXPECT_EQ(test::ReadFile(elsewhere / "target"), "untouched");
}

TEST(UninstallLogTest, ALogsFolderThatIsALinkOrSomeoneElsesIsRefused) {
    for (const bool link : {true, false}) {
        test::LogCapture events;
        test::ScopedMachineRoot root;
        test::TempFolder elsewhere;
        const fs::path logs = root.path() / "ProgramData/Zuvelo/Logs";
        fs::create_directories(logs.parent_path());
        if (link) {
            fs::create_symlink(elsewhere.path(), logs);
        } else {
            if (::geteuid() != 0) continue;  // only root can give the folder away
            fs::create_directory(logs);
            ASSERT_EQ(::chown(logs.c_str(), 65534, 65534), 0);
        }
        UninstallLog log;
        // 149: the log cannot be created; the run goes on without it.
        EXPECT_EQ(log.Create(GetLogFilePath(kStarted), kStarted), ErrorCode::ReceiptWriteFailed);
        EXPECT_FALSE(log.IsOpen());
        EXPECT_TRUE(fs::is_empty(elsewhere.path()));
        EXPECT_TRUE(fs::is_empty(logs));
    }
}

}  // namespace
}  // namespace zuvelo
