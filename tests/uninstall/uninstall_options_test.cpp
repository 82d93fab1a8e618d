#include "uninstall/uninstall_options.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

namespace zuvelo {
namespace {

struct ParseOutcome {
    bool valid = false;
    bool continueRun = false;
    std::string out;
    std::string err;
    UninstallOptions options;
};

ParseOutcome Parse(std::vector<std::wstring> arguments) {
    arguments.insert(arguments.begin(), L"ZuveloUninstall");
    std::vector<wchar_t*> argv;
    for (std::wstring& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    ParseOutcome outcome;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    outcome.valid = ParseUninstallOptions(static_cast<int>(arguments.size()), argv.data(), outcome.options,
                                          outcome.continueRun);
    outcome.out = testing::internal::GetCapturedStdout();
    outcome.err = testing::internal::GetCapturedStderr();
    return outcome;
}

const std::string kUnknownHelp = "Use --help for usage information\n";

TEST(UninstallOptionsTest, ErrorsEndParsingWithOneMessage) {
    const struct {
        std::vector<std::wstring> arguments;
        std::string err;
    } cases[] = {
        {{L"--install-path"}, "Error: --install-path requires a path\n"},
        {{L"--force", L"--progress-pipe"}, "Error: --progress-pipe requires a pipe name\n"},
        {{L"--HELP"}, "Error: Unknown option: --HELP\n" + kUnknownHelp},
        {{L"--bogus", L"--help"}, "Error: Unknown option: --bogus\n" + kUnknownHelp},
        {{L"Zuv\u00e9lo"}, "Error: Unknown option: Zuv\xc3\xa9lo\n" + kUnknownHelp},
    };
    for (const auto& c : cases) {
        const ParseOutcome outcome = Parse(c.arguments);
        EXPECT_FALSE(outcome.valid);
        EXPECT_EQ(outcome.err, c.err);
        EXPECT_EQ(outcome.out, "");
    }
}

TEST(UninstallOptionsTest, ValuesAndFlagsAreStored) {
    const ParseOutcome outcome = Parse({L"--install-path", L"--force", L"--purge", L"--keep-logs", L"--quiet",
                                        L"--verbose", L"--progress-pipe", L"p", L"--install-path", L"/opt/Zuvelo"});
    ASSERT_TRUE(outcome.valid);
    EXPECT_TRUE(outcome.continueRun);
    EXPECT_FALSE(outcome.options.force) << "--force was taken as the first path";
    EXPECT_TRUE(outcome.options.purge && outcome.options.keepLogs && outcome.options.quiet && outcome.options.verbose);
    EXPECT_EQ(outcome.options.progressPipe, L"p");
    EXPECT_EQ(outcome.options.installPath, L"/opt/Zuvelo") << "the last value wins";
}

TEST(UninstallOptionsTest, HelpAndVersionStopTheRunAndIgnoreWhatFollows) {
    const ParseOutcome help = Parse({L"--force", L"--help", L"--bogus"});
    EXPECT_TRUE(help.valid);
    EXPECT_FALSE(help.continueRun);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(help.out,
              "Zuvelo Uninstaller v1.0.0\n\n"
              "Usage: ZuveloUninstall.exe [OPTIONS]\n\n"
              "Options:\n"
              "  --force              Skip confirmation prompt\n"
              "  --purge              Remove user data (%LOCALAPPDATA%\\Zuvelo)\n"
              "  --keep-logs          Preserve uninstall logs\n"
              "  --quiet              Suppress console output\n"
              "  --verbose            Enable verbose logging\n"
              "  --progress-pipe <n>  Named pipe for progress reporting\n"
              "  --install-path <p>   Override installation path\n"
              "  --help               Show this help message\n"
              "  --version            Show version information\n\n"
              "Exit Codes:\n"
              "  0    Success\n"
              "  1    Invalid arguments\n"
              "  2    Insufficient privileges\n"
              "  10   Installation not found\n"
              "  140+ File operation failures\n"
              "  160+ Registry operation failures\n"
              "  200+ Process termination failures\n");

    const ParseOutcome version = Parse({L"--version", L"--bogus"});
    EXPECT_TRUE(version.valid);
    EXPECT_FALSE(version.continueRun);
    // std::regex: GoogleTest's own expressions on Windows know no brackets.
    EXPECT_TRUE(std::regex_match(version.out, std::regex("Zuvelo Uninstaller v1\\.0\\.0\n"
                                                         "Built: [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4} "
                                                         "[0-9]{2}:[0-9]{2}:[0-9]{2}\n")))
        << version.out;
}

}  // namespace
}  // namespace zuvelo
