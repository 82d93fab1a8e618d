#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <string>

#include "common/paths.h"
#include "common/text.h"
#include "elevated/command_handlers.h"
#include "elevated/plan_steps.h"
#include "tests/support/event_summary.h"
#include "tests/support/log_capture.h"
#include "tests/support/scoped_env.h"
#include "tests/support/test_folders.h"

namespace zuvelo {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::ElementsAre;

fs::path MakeFolder(const fs::path& path) {
    fs::create_directories(path);
    return path;
}

class ApplyManifestEntryPoints : public ::testing::Test {
protected:
    PlanOperation Step(const fs::path& sessionRoot, const fs::path& filesManifest) const {
        PlanOperation operation;
        operation.type = PlanOperationType::ApplyManifest;
        operation.cdnUrl = L"https://127.0.0.1:9/";
        operation.manifestUrl = L"https://127.0.0.1:9/manifest.json";
        operation.targetPath = WidePath(temp / "target");
        operation.sessionRoot = sessionRoot.empty() ? L"" : WidePath(sessionRoot);
        operation.filesManifest = filesManifest.empty() ? L"" : WidePath(filesManifest);
        return operation;
    }

    test::TempFolder temp;
    test::ScopedMachineRoot machineRoot;
    // The handlers use the default cache in the temporary folder: the test's own.
    test::ScopedEnvironmentVariable tmpdir{test::kTempFolderVariable, Utf8FromPath(temp.path())};
    test::LogCapture capture;
    fs::path session = MakeFolder(temp / "session");
    fs::path files = temp / "files.json";
    PlanRunState state;
};

TEST_F(ApplyManifestEntryPoints, StepReportsAMissingSessionPartAsAnErrorEvent) {
    struct Row {
        fs::path sessionRoot;
        std::string details;
    };
    for (const Row& row : {Row{temp / "no-session", "Session root not found"}, Row{session, "Files manifest not found"}}) {
        capture.Clear();
        EXPECT_EQ(RunApplyManifestOperation(Step(row.sessionRoot, files), state), ErrorCode::FileNotFound);
        EXPECT_THAT(test::SummarizeAll(capture.Events()),
                    ElementsAre("status apply_manifest starting", "diagnostic INFO Initializing crypto verifier",
                                "error apply_manifest 141 " + row.details));
    }
}

TEST_F(ApplyManifestEntryPoints, CommandReportsAMissingSessionPartOnStandardError) {
    CommandLineOptions options;
    options.command = HelperCommand::ApplyManifest;
    options.cdnUrl = L"https://127.0.0.1:9/";
    options.manifestUrl = L"https://127.0.0.1:9/manifest.json";
    options.targetPath = WidePath(temp / "target");
    options.sessionRoot = WidePath(session);
    options.filesManifest = WidePath(files);
    std::ostringstream err;
    std::streambuf* previous = std::cerr.rdbuf(err.rdbuf());
    const ErrorCode result = HandleApplyManifest(options);
    std::cerr.rdbuf(previous);
    EXPECT_EQ(result, ErrorCode::FileNotFound);
    EXPECT_EQ(err.str(), "Error: Files manifest path does not exist: " + Utf8FromPath(files) + "\n");
    EXPECT_THAT(test::SummarizeAll(capture.Events()),
                ElementsAre("status manifest_apply starting", "diagnostic INFO Initializing crypto verifier"));
}

// With one session field alone the manifest is applied from the server.
TEST_F(ApplyManifestEntryPoints, StepWithoutAWholeSessionDownloads) {
    const ErrorCode result = RunApplyManifestOperation(Step(session, {}), state);
    EXPECT_EQ(result, ErrorCode::NetworkUnreachable);
    const std::vector<std::string> events = test::SummarizeAll(capture.Events());
    EXPECT_THAT(events, Contains("status manifest_processing download_failed"));
    EXPECT_TRUE(fs::is_directory(temp / "ZuveloCache"));
}

}  // namespace
}  // namespace zuvelo
