#include "install/orphan_report.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "common/paths.h"
#include "install/orphan_candidates.h"
#include "platform/file_io.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_folders.h"

namespace zuvelo {
namespace {

namespace fs = std::filesystem;

TEST(OrphanReportTest, ReportsReplaceLinksPlantedUnderTheirNames) {
    test::TempFolder temp;
    test::LogCapture capture;
    test::WriteFile(temp / "victim", "untouched");
    fs::create_directories(temp / "session");
    // None under Wine: the reports are then written where nothing stood.
    test::MakeLink(temp / "victim", temp / "session/local-inventory.json", test::LinkKind::File);
    test::MakeLink(temp / "victim", temp / "session/orphan-report.json", test::LinkKind::File);

    const ReportFolder folder(WidePath(temp / "session"));
    const std::vector<OrphanCandidate> files{{"big.pak", "big.pak", L"", 5ull << 30, false}};
    const std::vector<OrphanCandidate> directories{{"old", "old", L"", 0, true}};
    OrphanCleanupResult result;
    result.bytesFreed = 5ull << 30;
    EXPECT_EQ(WriteLocalInventory(folder, {{"a", "A", L"", 0, true, true}}), ErrorCode::Success);
    EXPECT_EQ(WriteOrphanReport(folder, files, directories, result), ErrorCode::Success);

    EXPECT_EQ(test::ReadFile(temp / "victim"), "untouched");
    EXPECT_FALSE(fs::is_symlink(temp / "session/orphan-report.json"));
    // Written as a text-mode stream writes: lines end in CR LF on Windows.
    EXPECT_EQ(test::ReadFile(temp / "session/local-inventory.json"),
              platform::TextModeBytes("[\n  {\n    \"isDirectory\" : true,\n    \"isSymlink\" : true,\n"
                                      "    \"path\" : \"a\",\n    \"size\" : 0\n  }\n]"));
    const Json::Value report = test::ParseJson(test::ReadFile(temp / "session/orphan-report.json"));
    EXPECT_EQ(report["bytesFreed"].asUInt64(), 5ull << 30);
    EXPECT_EQ(report["orphans"][1]["type"].asString(), "directory");
}

}  // namespace
}  // namespace zuvelo
