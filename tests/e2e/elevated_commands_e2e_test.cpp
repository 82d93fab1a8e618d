// Runs the built ZuveloElevated with its own machine root and temporary folder
// and reads its JSON lines.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <json/value.h>
#include <json/writer.h>

#include "tests/e2e/elevated_program.h"
#include "tests/support/event_summary.h"
#include "tests/support/program_runner.h"
#include "tests/support/scoped_env.h"
#include "tests/support/test_folders.h"

namespace zuvelo {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;

const char* const kProgram = kElevatedProgram;

class ElevatedCommandsTest : public testing::Test {
protected:
    test::TempFolder machineRoot_;
    test::TempFolder temp_;
    test::TempFolder work_;

    test::ProgramResult Run(const std::vector<std::string>& arguments) {
        return test::RunProgram(kProgram, arguments,
                                {{"ZUVELO_MACHINE_ROOT", machineRoot_.path().string()},
                                 {test::kTempFolderVariable, temp_.path().string()}});
    }

    fs::path MakeSessionTree() {
        const fs::path root = work_ / "session";
        test::WriteFile(root / "files" / "a.bin", "a");
        test::WriteFile(root / "files" / "deep" / "b.bin", "b");
        test::WriteFile(root / "files-manifest.json", "{}");
        return root;
    }

    fs::path WritePlan(const Json::Value& operations) {
        Json::Value plan(Json::objectValue);
        plan["operations"] = operations;
        const fs::path path = work_ / "plan.json";
        test::WriteFile(path, Json::writeString(Json::StreamWriterBuilder(), plan));
        return path;
    }
};

std::vector<std::string> Summaries(const test::ProgramResult& result) {
    return test::SummarizeAll(test::ParseJsonLines(result.out));
}

// The entry's events around the handler's.
std::vector<std::string> AroundCommand(const std::vector<std::string>& handler, int result) {
    std::vector<std::string> events{"diagnostic INFO ZuveloElevated starting", "status startup checking_environment"};
    events.insert(events.end(), handler.begin(), handler.end());
    if (result == 0) {
        events.push_back("completion main_operation");
        events.push_back("diagnostic INFO ZuveloElevated completed successfully");
    } else {
        events.push_back("error main_operation " + std::to_string(result));
        events.push_back("diagnostic FATAL ZuveloElevated failed with error: " + std::to_string(result));
    }
    return events;
}

std::vector<std::string> PlanAround(const std::vector<std::string>& steps, size_t count) {
    const std::string n = std::to_string(count);
    std::vector<std::string> events{"status execute_plan starting",
                                    "status execution_plan loading_plan",
                                    "diagnostic INFO Loaded execution plan with " + n + " operations",
                                    "diagnostic INFO Executing plan with " + n + " operations",
                                    "status execution_plan executing",
                                    "diagnostic INFO Executing plan with " + n + " operations"};
    events.insert(events.end(), steps.begin(), steps.end());
    events.push_back("completion execution_plan");
    events.push_back("diagnostic INFO Execution plan completed successfully");
    return events;
}

TEST_F(ElevatedCommandsTest, NoArgumentsPrintsVersionAndUsage) {
    const test::ProgramResult bare = Run({});
    EXPECT_EQ(bare.exitCode, 1);
    EXPECT_EQ(bare.err, "");
    EXPECT_EQ(bare.out.rfind("ZuveloElevated 1.0.0\nZuvelo Elevated Helper v1.0.0\n", 0), 0u) << bare.out;
    EXPECT_THAT(bare.out, HasSubstr(std::string("\n  ") + kProgram + " --execute-plan <plan-file.json>\n"));
    EXPECT_THAT(bare.out, Not(HasSubstr("{")));

    const test::ProgramResult help = Run({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ("ZuveloElevated 1.0.0\n" + help.out, bare.out);
}

TEST_F(ElevatedCommandsTest, CommandLineErrorsAreOneLineOnStandardError) {
    const struct {
        std::vector<std::string> arguments;
        std::string err;
    } cases[] = {
        {{"--cdn"}, "Error: --cdn requires URL\n"},
        {{"--help", "--remove"}, "Error: --remove requires --target\n"},
        {{"--release-session", "--session-root", "/x", "--bogus"}, "Error: Unknown argument: --bogus\n"},
#ifndef _WIN32  // a Windows command line is UTF-16 and cannot carry bytes that are not UTF-8
        {{"--release-session", "--session-root", "/x\xC3\x28"}, "Error: Invalid argument encoding\n"},
#endif
    };
    for (const auto& c : cases) {
        const test::ProgramResult result = Run(c.arguments);
        EXPECT_EQ(result.exitCode, 1) << c.err;
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(result.out, "");
    }
}

TEST_F(ElevatedCommandsTest, ReleaseSessionAsCommandAndAsPlanStep) {
    const std::vector<std::string> removed{"status session_release starting", "status session_release completed"};
    const std::vector<std::string> missing{"status session_release starting",
                                           "diagnostic WARNING Session root not found for release"};
    const std::vector<std::string> stepRemoved{"status execution_plan operation_0", "status release_session starting",
                                               "status release_session completed", "progress execution_plan 100"};
    const std::vector<std::string> stepMissing{"status execution_plan operation_0", "status release_session starting",
                                               "diagnostic WARNING Session root not found for release",
                                               "progress execution_plan 100"};
    for (const bool exists : {true, false}) {
        for (const bool asPlan : {false, true}) {
            const fs::path session = exists ? MakeSessionTree() : work_ / "no-session";
            std::vector<std::string> arguments{"--release-session", "--session-root", session.string()};
            if (asPlan) {
                Json::Value step;
                step["type"] = "release_session";
                step["sessionRoot"] = session.string();
                Json::Value operations(Json::arrayValue);
                operations.append(step);
                arguments = {"--execute-plan", WritePlan(operations).string()};
            }
            const test::ProgramResult result = Run(arguments);
            SCOPED_TRACE(result.out);
            EXPECT_EQ(result.exitCode, 0);
            EXPECT_EQ(result.err, "");
            const auto& handler = asPlan ? PlanAround(exists ? stepRemoved : stepMissing, 1) : (exists ? removed : missing);
            EXPECT_THAT(Summaries(result), ElementsAreArray(AroundCommand(handler, 0)));
            EXPECT_FALSE(fs::exists(session));
        }
    }
}

TEST_F(ElevatedCommandsTest, MissingPlanFileFailsWith141) {
    const test::ProgramResult result = Run({"--execute-plan", (work_ / "missing.json").string()});
    EXPECT_EQ(result.exitCode, 141);
    EXPECT_THAT(Summaries(result),
                ElementsAreArray(AroundCommand({"status execute_plan starting", "status execution_plan loading_plan",
                                                "error execution_plan 141 Plan file not found",
                                                "error execute_plan 141 Failed to load plan file"},
                                               141)));
}

TEST_F(ElevatedCommandsTest, InvalidPlanRunsNothing) {
    const fs::path session = MakeSessionTree();
    Json::Value release;
    release["type"] = "release_session";
    release["sessionRoot"] = session.string();
    Json::Value bogus;
    bogus["type"] = "bogus";
    Json::Value operations(Json::arrayValue);
    operations.append(release);
    operations.append(bogus);

    const test::ProgramResult result = Run({"--execute-plan", WritePlan(operations).string()});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(fs::exists(session / "files" / "deep" / "b.bin"));
    EXPECT_THAT(Summaries(result),
                ElementsAreArray(AroundCommand(
                    {"status execute_plan starting", "status execution_plan loading_plan",
                     "error execution_plan 1 Operation 1: Unknown operation type: 'bogus'. Valid types: install_prereqs, "
                     "apply_manifest, write_uninstall, create_shortcuts, write_receipt, release_session, prune_orphans",
                     "error execute_plan 1 Failed to load plan file"},
                    1)));
}

TEST_F(ElevatedCommandsTest, RelativeFoldersAreRefused) {
    const struct {
        std::vector<std::string> arguments;
        std::string operation;
        std::string message;
    } cases[] = {
        {{"--release-session", "--session-root", "session"}, "session_release",
         "Session root must be an absolute path and not a file-system root"},
        {{"--write-uninstall", "--target", "rel/Zuvelo", "--version", "1.0.0"}, "uninstall_write",
         "Target path must be an absolute path and not a file-system root"},
        {{"--create-shortcuts", "--target", "rel/Zuvelo"}, "shortcuts_create",
         "Target path must be an absolute path and not a file-system root"},
    };
    for (const auto& c : cases) {
        const test::ProgramResult result = Run(c.arguments);
        EXPECT_EQ(result.exitCode, 1) << c.operation;
        EXPECT_THAT(Summaries(result),
                    ElementsAreArray(AroundCommand(
                        {"status " + c.operation + " starting", "error " + c.operation + " 1 " + c.message}, 1)));
    }
}

TEST_F(ElevatedCommandsTest, FailedStepAbortsThePlanAfterEarlierStepsRan) {
    const fs::path session = MakeSessionTree();
    Json::Value release;
    release["type"] = "ReleaseSession";
    release["sessionRoot"] = session.string();
    Json::Value incomplete;
    incomplete["type"] = "release_session";
    Json::Value never;
    never["type"] = "release_session";
    never["sessionRoot"] = (work_ / "other").string();
    Json::Value operations(Json::arrayValue);
    operations.append(release);
    operations.append(incomplete);
    operations.append(never);

    const test::ProgramResult result = Run({"--execute-plan", WritePlan(operations).string()});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_FALSE(fs::exists(session));
    const std::vector<std::string> summaries = Summaries(result);
    ASSERT_GE(summaries.size(), 6u) << result.out;
    const std::vector<std::string> tail(summaries.end() - 6, summaries.end());
    EXPECT_THAT(tail, ElementsAreArray(std::vector<std::string>{
                          "status execution_plan operation_1", "status release_session starting",
                          "error release_session 1 Missing sessionRoot",
                          "error execution_plan 1 Operation 1 failed, aborting plan", "error main_operation 1",
                          "diagnostic FATAL ZuveloElevated failed with error: 1"}));
    EXPECT_THAT(result.out, Not(HasSubstr("operation_2")));
}

}  // namespace
}  // namespace zuvelo
