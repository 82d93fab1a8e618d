#include "platform/staged_file.h"

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/file_io.h"
#include "tests/support/test_folders.h"

namespace zuvelo::platform {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> Names(const fs::path& folder) {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    return names;
}

// A file installed read-only is replaced by the next update all the same (Windows would
// refuse to rename over it); a staged file never committed goes with its object.
TEST(StagedFileTest, CommitReplacesAReadOnlyFile) {
    test::TempFolder temp;
    test::WriteFile(temp / "final.txt", "old");
    ASSERT_EQ(SetMode(temp / "final.txt", 0444), 0u);
    {
        StagedFile abandoned;
        ASSERT_EQ(abandoned.Create(temp.path(), 0644), 0u);
    }
    StagedFile staged;
    ASSERT_EQ(staged.Create(temp.path(), 0444), 0u);
    ASSERT_EQ(WriteFullyAt(staged.fd(), "new", 3, 0), 0u);
    ASSERT_EQ(staged.CommitAs("final.txt"), 0u);
    EXPECT_EQ(test::ReadFile(temp / "final.txt"), "new");
    FileStat st;
    ASSERT_EQ(StatPath(temp / "final.txt", st), 0u);
    EXPECT_TRUE(st.IsReadOnly());  // the new file's own mode
    EXPECT_EQ(Names(temp.path()), std::vector<std::string>{"final.txt"});
}

}  // namespace
}  // namespace zuvelo::platform
