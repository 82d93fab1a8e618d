#include "elevated/operation_frame.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/support/event_summary.h"
#include "tests/support/log_capture.h"

namespace zuvelo {
namespace {

using ::testing::ElementsAre;

TEST(OperationFrameTest, EscapedExceptionBecomesErrorFourAfterTheBodysObjectsAreGone) {
    test::LogCapture capture;
    bool destroyed = false;
    struct Guard {
        bool& flag;
        ~Guard() { flag = true; }
    };
    const ErrorCode result = RunCommandFrame("remove", [&]() -> ErrorCode {
        Guard guard{destroyed};
        throw std::runtime_error("exists: Permission denied");
    });
    EXPECT_EQ(result, ErrorCode::InternalError);
    EXPECT_TRUE(destroyed);
    EXPECT_THAT(test::SummarizeAll(capture.Events()),
                ElementsAre("status remove starting", "error remove 4 exists: Permission denied"));
}

TEST(OperationFrameTest, BodyResultPassesThroughWithoutEventsOfItsOwn) {
    test::LogCapture capture;
    EXPECT_EQ(RunStepFrame("apply_manifest", "", [] { return ErrorCode::FileNotFound; }), ErrorCode::FileNotFound);
    EXPECT_THAT(test::SummarizeAll(capture.Events()), ElementsAre("status apply_manifest starting"));
}

TEST(OperationFrameTest, MissingParametersKeepTheBodyFromRunning) {
    test::LogCapture capture;
    bool ran = false;
    EXPECT_EQ(RunStepFrame("write_receipt", "Missing x", [&] {
                  ran = true;
                  return ErrorCode::Success;
              }),
              ErrorCode::InvalidArguments);
    EXPECT_FALSE(ran);
    EXPECT_THAT(test::SummarizeAll(capture.Events()),
                ElementsAre("status write_receipt starting", "error write_receipt 1 Missing x"));
}

}  // namespace
}  // namespace zuvelo
