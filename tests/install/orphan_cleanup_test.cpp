#include "install/orphan_cleanup.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "common/paths.h"
#include "tests/support/event_summary.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_folders.h"

namespace zuvelo {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;

TEST(OrphanCleanupTest, UnusableInputsSkipTheRunBeforeAnythingIsDeleted) {
    test::TempFolder temp;
    test::LogCapture capture;
    test::WriteFile(temp / "target/old.dll", "x");
    struct Row {
        fs::path target;
        std::string files;
        std::string reason;
        uint32_t win32Error;  // 5: access denied, 2: not found
    };
    std::vector<Row> rows = {
        {temp / "target", R"({"files":[]})", "expected-files manifest was empty; no files were deleted", 0},
        {temp / "target", R"({"files":[{"file":"../x"}]})", "expected-files manifest could not be read safely", 0},
        {temp / "missing", R"({"files":[{"file":"x"}]})", "cleanup root could not be pinned safely", 2},
    };
    if (test::MakeLink(temp / "target", temp / "link", test::LinkKind::Folder)) {
        rows.push_back({temp / "link", R"({"files":[{"file":"x"}]})", "cleanup root could not be pinned safely", 5});
    }
    for (const Row& row : rows) {
        capture.Clear();
        test::WriteFile(temp / "files.json", row.files);
        OrphanCleanupResult result;
        EXPECT_EQ(RunOrphanCleanup({}, WidePath(row.target), WidePath(temp.path()), WidePath(temp / "files.json"),
                                   ComponentKind::Client, result),
                  ErrorCode::Success);
        EXPECT_TRUE(result.skipped);
        const std::string code = std::to_string(row.win32Error);
        const std::vector<std::string> events = test::SummarizeAll(capture.Events());
        EXPECT_THAT(events, Contains("diagnostic WARNING Orphan cleanup skipped: " + row.reason +
                                     (row.win32Error ? " (Win32 " + code + ")" : "")));
        EXPECT_THAT(events, Contains("status orphan_cleanup orphan_cleanup_skipped {\"reason\":\"" + row.reason + "\"" +
                                     (row.win32Error ? ",\"system_error_code\":" + code : "") + "}"));
        EXPECT_TRUE(fs::exists(temp / "target/old.dll"));
    }
}

}  // namespace
}  // namespace zuvelo
