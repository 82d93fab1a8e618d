#include "common/jsonl_logger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <regex>

#include "common/paths.h"
#include "tests/support/log_capture.h"
#include "tests/support/pipe_listener.h"
#include "tests/support/test_folders.h"

namespace zuvelo {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

JsonlLogger& Logger() { return JsonlLogger::Instance(); }

std::vector<std::string> Keys(const Json::Value& event) { return event.getMemberNames(); }

TEST(JsonlLoggerTest, BaseFieldsAndTimestampFormat) {
    test::LogCapture capture;
    Logger().LogStatus("op", "starting");
    ASSERT_EQ(capture.Lines().size(), 1u);
    const std::string& line = capture.Lines()[0];
    EXPECT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line per event";
    const Json::Value event = test::ParseJson(line);
    EXPECT_EQ(event["event_type"].asString(), "status");
    EXPECT_EQ(event["process"].asString(), "ZuveloElevated");
    EXPECT_EQ(event["pid"].asUInt(), static_cast<unsigned>(::getpid()));
    EXPECT_TRUE(std::regex_match(event["timestamp"].asString(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
    // Keys come out sorted on the wire.
    EXPECT_LT(line.find("\"event_type\""), line.find("\"operation\""));
    EXPECT_LT(line.find("\"pid\""), line.find("\"process\""));
    EXPECT_LT(line.find("\"status\""), line.find("\"timestamp\""));
}

TEST(JsonlLoggerTest, EachWriterWritesItsKeys) {
    test::LogCapture capture;
    Logger().LogProgress("op", 42, "half");
    Logger().LogStatus("op", "done");
    Logger().LogError(ErrorCode::FileNotFound, "op", "missing");
    Logger().LogCompletion("op");
    Logger().LogCompletion("op", false, "");
    Logger().LogDiagnostic(LogLevel::Warning, "careful", "FileOperations");
    Logger().LogPrereqStatus("vc", "installed", "14.0");
    Logger().LogManifestProcessing("https://x/m.json", "starting", -1);
    Logger().LogManifestProcessing("https://x/m.json", "complete", 0);
    Logger().LogRegistryOperation("write", "HKLM\\X", false);
    Logger().LogShortcutCreate("Zuvelo", "/x", true);
    const std::vector<Json::Value> e = capture.Events();
    ASSERT_EQ(e.size(), 11u);
    const std::vector<std::string> base = {"event_type", "pid", "process", "timestamp"};
    auto with = [&](std::vector<std::string> extra) {
        extra.insert(extra.end(), base.begin(), base.end());
        std::sort(extra.begin(), extra.end());
        return extra;
    };
    EXPECT_EQ(Keys(e[0]), with({"details", "operation", "progress"}));
    EXPECT_EQ(Keys(e[1]), with({"operation", "status"}));
    EXPECT_EQ(Keys(e[2]), with({"details", "error_code", "error_message", "operation"}));
    EXPECT_EQ(e[2]["error_code"].asInt(), 141);
    EXPECT_EQ(e[2]["error_message"].asString(), "File not found");
    EXPECT_EQ(Keys(e[3]), with({"operation", "success"}));
    EXPECT_TRUE(e[3]["success"].asBool());
    EXPECT_FALSE(e[4]["success"].asBool());
    EXPECT_EQ(Keys(e[5]), with({"component", "level", "message"}));
    EXPECT_EQ(e[5]["level"].asString(), "WARNING");
    EXPECT_EQ(Keys(e[6]), with({"component", "operation", "status", "version"}));
    EXPECT_EQ(e[6]["operation"].asString(), "prereq_install");
    EXPECT_EQ(Keys(e[7]), with({"manifest_url", "operation", "status"}));
    EXPECT_EQ(e[8]["files_processed"].asInt(), 0);
    EXPECT_EQ(e[9]["event_type"].asString(), "error");
    EXPECT_EQ(e[9]["operation"].asString(), "registry:write");
    EXPECT_EQ(Keys(e[10]), with({"operation", "shortcut_name", "success", "target_path"}));
    EXPECT_EQ(e[10]["event_type"].asString(), "status");
}

TEST(JsonlLoggerTest, DebugLinesOnlyWhenVerbose) {
    {
        test::LogCapture capture;
        Logger().LogDiagnostic(LogLevel::Debug, "hidden", "X");
        Logger().LogDiagnostic(LogLevel::Info, "shown", "");
        ASSERT_EQ(capture.Events().size(), 1u);
        EXPECT_FALSE(capture.Events()[0].isMember("component"));
    }
    test::LogCapture verbose(true);
    Logger().LogDiagnostic(LogLevel::Debug, "shown", "X");
    EXPECT_EQ(verbose.Events().size(), 1u);
}

TEST(JsonlLoggerTest, ProgressIsClamped) {
    test::LogCapture capture;
    Logger().LogProgress("op", -5, "");
    Logger().LogProgress("op", 250, "");
    Logger().LogDownloadProgress("f", 1536, 1048576);
    Logger().LogDownloadProgress("f", UINT64_MAX, UINT64_MAX / 2);
    Logger().LogDownloadProgress("f", UINT64_MAX / 2, UINT64_MAX);
    Logger().LogDownloadProgress("f", 10, 0);
    const std::vector<Json::Value> e = capture.Events();
    EXPECT_EQ(e[0]["progress"].asInt(), 0);
    EXPECT_EQ(e[1]["progress"].asInt(), 100);
    EXPECT_EQ(e[2]["progress"].asInt(), 0);
    EXPECT_EQ(e[2]["operation"].asString(), "download:f");
    EXPECT_EQ(e[2]["details"].asString(), "Downloaded 1.5 KB of 1.0 MB");
    EXPECT_EQ(e[3]["progress"].asInt(), 100);
    EXPECT_EQ(e[4]["progress"].asInt(), 49);
    EXPECT_EQ(e[5]["progress"].asInt(), 0);
    EXPECT_EQ(e[5]["details"].asString(), "Downloaded 10 B");
}

TEST(JsonlLoggerTest, FileEvents) {
    test::LogCapture capture;
    Logger().LogFileOperation("copy", L"/a/caf\u00E9", true, 5, true);
    Logger().LogFileOperation("delete", L"/a", false, 0, true);
    Logger().LogFileOperation("delete", L"/a", false, 5, true);
    Logger().LogFileOperation("delete", L"/a", false, 2, false);
    const std::vector<Json::Value> e = capture.Events();
    EXPECT_EQ(e[0]["event_type"].asString(), "status");
    EXPECT_EQ(e[0]["operation"].asString(), "file:copy");
    EXPECT_EQ(e[0]["file_path"].asString(), "/a/caf\xC3\xA9");
    EXPECT_FALSE(e[0].isMember("system_error_code"));
    EXPECT_EQ(e[1]["event_type"].asString(), "error");
    EXPECT_FALSE(e[1].isMember("system_error_code"));
    EXPECT_FALSE(e[1].isMember("error_message"));
    EXPECT_EQ(e[2]["system_error_code"].asUInt(), 5u);
    EXPECT_EQ(e[2]["error_message"].asString(), "Access is denied.");
    EXPECT_EQ(e[3]["event_type"].asString(), "status");
}

TEST(FormatBytesTest, Examples) {
    const struct {
        uint64_t bytes;
        const char* text;
    } cases[] = {
        {0, "0 B"}, {512, "512 B"}, {1023, "1023 B"}, {1024, "1.0 KB"}, {1536, "1.5 KB"},
        {2097152, "2.0 MB"}, {1073741824, "1.0 GB"}, {1099511627776ull, "1.0 TB"},
        {1125899906842624ull, "1024.0 TB"},
    };
    for (const auto& c : cases) EXPECT_EQ(FormatBytes(c.bytes), c.text) << c.bytes;
}

// Pipe names are machine-wide on Windows: each test names its pipe after its own machine root.
class JsonlLoggerPipeTest : public ::testing::Test {
protected:
    test::ScopedMachineRoot root;
    test::LogCapture capture;
    std::filesystem::path socketPath = root.path() / "pipe" / root.path().filename();
    std::wstring pipeName = L"\\\\.\\pipe\\" + WidePath(root.path().filename());
};

TEST_F(JsonlLoggerPipeTest, ListenerReceivesEveryLineAndStdoutNone) {
    test::PipeListener listener(socketPath);
    ASSERT_TRUE(Logger().AttachPipe(pipeName, 2000));
    Logger().LogStatus("op", "starting");
    Logger().LogProgress("op", 50, "");
    Logger().LogCompletion("op");
    Logger().ResetForTesting();  // closes our end
    ASSERT_TRUE(listener.WaitUntilDone(5000));
    EXPECT_EQ(listener.Lines().size(), 3u);
    EXPECT_TRUE(capture.Lines().empty());
}

TEST_F(JsonlLoggerPipeTest, NoListenerGivesUpAfterTheTimeOut) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Logger().AttachPipe(pipeName, 300));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(elapsed, std::chrono::seconds(5));
}

TEST_F(JsonlLoggerPipeTest, ListenerClosingMidRunSendsTheRestToStdout) {
    test::PipeListener listener(socketPath, 2);
    ASSERT_TRUE(Logger().AttachPipe(pipeName, 2000));
    Logger().LogStatus("op", "one");
    Logger().LogStatus("op", "two");
    ASSERT_TRUE(listener.WaitUntilDone(5000));
    EXPECT_FALSE(Logger().IsPipeLost());
    // The first write after the close may still be accepted by the kernel; keep writing until it fails.
    for (int i = 0; i < 20 && !Logger().IsPipeLost(); ++i) Logger().LogStatus("op", "more");
    ASSERT_TRUE(Logger().IsPipeLost());
    const std::vector<Json::Value> out = capture.Events();
    ASSERT_GE(out.size(), 2u);
    EXPECT_EQ(out[0]["level"].asString(), "WARNING");
    EXPECT_EQ(out[0]["component"].asString(), "JsonlLogger");
    EXPECT_THAT(out[0]["message"].asString(), HasSubstr("Progress pipe to launcher lost (Win32 "));
    EXPECT_THAT(out[0]["message"].asString(), HasSubstr("); continuing on stdout"));
    EXPECT_EQ(out[1]["status"].asString(), "more");
    // No reconnection once lost, even with a listener back in place.
    test::PipeListener second(std::filesystem::path(socketPath) += "-2");
    Logger().LogStatus("op", "after");
    EXPECT_EQ(capture.Events().back()["status"].asString(), "after");
    EXPECT_EQ(listener.Lines().size(), 2u);
}

TEST_F(JsonlLoggerPipeTest, NameTooLongForASocketFailsAtOnce) {
#ifdef _WIN32
    GTEST_SKIP() << "the length limit is that of a Unix socket address; Windows pipe names may be longer";
#endif
    const std::wstring name = L"\\\\.\\pipe\\" + std::wstring(200, L'x');
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Logger().AttachPipe(name, 30000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

}  // namespace
}  // namespace zuvelo
