#include "elevated/release_session_operation.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/paths.h"
#include "common/text.h"
#include "tests/support/event_summary.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_folders.h"

namespace zuvelo {
namespace {

using ::testing::ElementsAre;

// Records the roots it is asked to remove and answers with a fixed code.
struct FakeRemover {
    ErrorCode result = ErrorCode::Success;
    std::vector<std::wstring> calls;
    TreeRemover Get() {
        return [this](const std::wstring& root) {
            calls.push_back(root);
            return result;
        };
    }
};

TEST(SessionReleaseTest, RefusesRootsThatAreNotOneAbsoluteFolder) {
    test::TempFolder folder;
    for (const std::wstring root : {L"/", L"//", L"\\", L"/..", L"/a/..", L"/./", L"relative/session", L"session",
                                    L".", kNativeSeparator == L'\\' ? L"C:session" : L"C:\\session"}) {
        test::LogCapture capture;
        FakeRemover remover;
        EXPECT_EQ(ReleaseSessionFolder(root, "release_session", remover.Get()), ErrorCode::InvalidArguments)
            << WideToUtf8(root);
        EXPECT_TRUE(remover.calls.empty());
        EXPECT_THAT(test::SummarizeAll(capture.Events()),
                    ElementsAre("error release_session 1 Session root must be an absolute path and not a "
                                "file-system root"));
    }
}

TEST(SessionReleaseTest, MissingFolderIsAWarningAndSuccess) {
    test::TempFolder folder;
    test::LogCapture capture;
    FakeRemover remover;
    EXPECT_EQ(ReleaseSessionFolder(WidePath(folder / "gone"), "session_release", remover.Get()), ErrorCode::Success);
    EXPECT_TRUE(remover.calls.empty());
    EXPECT_THAT(test::SummarizeAll(capture.Events()), ElementsAre("diagnostic WARNING Session root not found for release"));
}

TEST(SessionReleaseTest, RemovesAnExistingFolderAndReportsTheOutcome) {
    test::TempFolder folder;
    std::filesystem::create_directories(folder / "session" / "data");
    std::wstring backslashed = WidePath(folder / "session");
    for (wchar_t& c : backslashed) c = c == L'/' ? L'\\' : c;

    const struct {
        ErrorCode result;
        std::string event;
    } cases[] = {
        {ErrorCode::Success, "status session_release completed"},
        {ErrorCode::DirectoryAccessDenied, "error session_release 147 Failed to remove session directory"},
    };
    for (const auto& c : cases) {
        test::LogCapture capture;
        FakeRemover remover;
        remover.result = c.result;
        EXPECT_EQ(ReleaseSessionFolder(backslashed, "session_release", remover.Get()), c.result);
        EXPECT_THAT(remover.calls, ElementsAre(WidePath(folder / "session")));
        EXPECT_THAT(test::SummarizeAll(capture.Events()), ElementsAre(c.event));
    }
}

}  // namespace
}  // namespace zuvelo
