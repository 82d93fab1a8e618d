#include "uninstall/uninstall_log.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <filesystem>

#include "common/paths.h"
#include "common/text.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_folders.h"
#include "uninstall/csidl_folders.h"

namespace zuvelo {
namespace {

namespace fs = std::filesystem;

// 2026-09-21T10:59:29Z
const auto kStarted = std::chrono::system_clock::from_time_t(1789988369);
const char* const kLogName = "uninstall-20260921-105929.log";

// The log path is the real data folder's on Windows: the logs are made in the test's own folder.
TEST(UninstallLogTest, NameHeaderAndSummaryBytes) {
    test::ScopedMachineRoot root;
    test::TempFolder temp;
    EXPECT_EQ(NativePath(GetLogFilePath(kStarted)),
              NativePath(GetCsidlFolderPath(kCsidlCommonAppData)) / "Zuvelo" / "Logs" / kLogName);

    const fs::path path = temp / "Logs" / kLogName;
    {
        UninstallLog log;  // closed at the end of the run, as the uninstaller's is
        ASSERT_EQ(log.Create(WidePath(path), kStarted), ErrorCode::Success);
        // Anyone may read the log while the run still writes it.
        EXPECT_EQ(test::ReadFile(path), "Zuvelo Uninstaller Log\nStarted: 2026-09-21T10:59:29Z\n\n");
        UninstallStats stats{1, 2, 1, 40, 7, 1234, true};
        log.Append(LogSummary(L"2.0.0", L"/opt/Zuv\u00e9lo", stats));
    }
    EXPECT_EQ(test::ReadFile(path),
              "Zuvelo Uninstaller Log\nStarted: 2026-09-21T10:59:29Z\n\n"
              "\n=== Uninstall Summary ===\nVersion: 2.0.0\nInstall Path: /opt/Zuv\xc3\xa9lo\n"
              "Processes Terminated: 1\nShortcuts Removed: 2\nRegistry Keys Removed: 1\nFiles Removed: 40\n"
              "Directories Removed: 7\nDuration: 1234 ms\nSuccess: true\n");
}

TEST(UninstallLogTest, ATakenNameOrPlantedLinkIsNeverWrittenThrough) {
    test::TempFolder temp;
    const fs::path path = temp / "Logs" / kLogName;
    fs::create_directories(path.parent_path());
    test::WriteFile(temp / "target", "untouched");
    // No links under Wine: a file takes the name there.
    if (!test::MakeLink(temp / "target", path, test::LinkKind::File)) test::WriteFile(path, "untouched");

    UninstallLog first;
    UninstallLog second;
    ASSERT_EQ(first.Create(WidePath(path), kStarted), ErrorCode::Success);
    ASSERT_EQ(second.Create(WidePath(path), kStarted), ErrorCode::Success);
    EXPECT_EQ(first.Path().substr(first.Path().size() - 6), L"-1.log");
    EXPECT_EQ(second.Path().substr(second.Path().size() - 6), L"-2.log");
    EXPECT_EQ(test::ReadFile(path), "untouched");
    EXPECT_EQ(test::ReadFile(temp / "target"), "untouched");
}

TEST(UninstallLogTest, ALogsFolderThatIsALinkOrSomeoneElsesIsRefused) {
    for (const bool link : {false, true}) {
        test::LogCapture events;
        test::TempFolder temp;
        const fs::path elsewhere = temp / "elsewhere";
        const fs::path logs = temp / "Logs";
        fs::create_directory(elsewhere);
        if (link) {
            if (!test::MakeLink(elsewhere, logs, test::LinkKind::Folder)) GTEST_SKIP() << test::kNoLinksHere;
        } else {
#ifdef _WIN32
            continue;  // owners: Linux's
#else
            if (::geteuid() != 0) continue;  // only root can give the folder away
            fs::create_directory(logs);
            ASSERT_EQ(::chown(logs.c_str(), 65534, 65534), 0);
#endif
        }
        UninstallLog log;
        // 149: the log cannot be created; the run goes on without it.
        EXPECT_EQ(log.Create(WidePath(logs / kLogName), kStarted), ErrorCode::ReceiptWriteFailed);
        EXPECT_FALSE(log.IsOpen());
        EXPECT_TRUE(fs::is_empty(elsewhere));
        EXPECT_TRUE(fs::is_empty(logs));
    }
}

}  // namespace
}  // namespace zuvelo
