#include "platform/file_io.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <filesystem>

#include <gtest/gtest.h>

#include "tests/support/test_folders.h"

namespace zuvelo::platform {
namespace {

namespace fs = std::filesystem;

TEST(FileIoTest, WritingNeverTruncatesAndExclusiveRefusesLinks) {
    test::TempFolder temp;
    test::WriteFile(temp / "f", "keep");
    UniqueFd out;
    ASSERT_EQ(OpenForWriting(temp / "f", false, 0644, out), 0u);
    out.reset();
    EXPECT_EQ(test::ReadFile(temp / "f"), "keep");
    EXPECT_EQ(OpenForWriting(temp / "f", true, 0644, out), 183u);
    if (!test::MakeLink(temp / "nowhere", temp / "dangling", test::LinkKind::File)) {
        GTEST_SKIP() << "no links can be made here (Wine makes no symbolic links)";
    }
    EXPECT_EQ(OpenForWriting(temp / "dangling", true, 0644, out), 183u);
    EXPECT_FALSE(fs::exists(temp / "nowhere"));
}

TEST(FileIoTest, AFifoNeverBlocks) {
#ifdef _WIN32
    GTEST_SKIP() << "FIFOs in the file system are Linux's";
#else
    test::TempFolder temp;
    ASSERT_EQ(::mkfifo((temp / "fifo").c_str(), 0644), 0);
    UniqueFd in;
    ASSERT_EQ(OpenForReading(temp / "fifo", in), 0u);
    FileStat st;
    ASSERT_EQ(StatFd(in.get(), st), 0u);
    EXPECT_FALSE(st.IsRegular());
#endif
}

}  // namespace
}  // namespace zuvelo::platform
