#include "elevated/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zuvelo {
namespace {

struct ParseOutcome {
    int result = -1;
    std::string err;
    CommandLineOptions options;
};

ParseOutcome Parse(std::vector<std::wstring> arguments) {
    arguments.insert(arguments.begin(), L"ZuveloElevated");
    std::vector<wchar_t*> argv;
    for (std::wstring& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    ParseOutcome outcome;
    testing::internal::CaptureStderr();
    outcome.result = ParseCommandLine(static_cast<int>(arguments.size()), argv.data(), outcome.options);
    outcome.err = testing::internal::GetCapturedStderr();
    return outcome;
}

struct RejectionCase {
    std::vector<std::wstring> arguments;
    std::string message;
};

void PrintTo(const RejectionCase& c, std::ostream* os) { *os << c.message; }

class RejectionTest : public testing::TestWithParam<RejectionCase> {};

TEST_P(RejectionTest, WritesOneLineAndReturnsOne) {
    const ParseOutcome outcome = Parse(GetParam().arguments);
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.err, GetParam().message + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, RejectionTest,
    testing::Values(
        // Missing values.
        RejectionCase{{L"--apply-manifest"}, "Error: --apply-manifest requires manifest URL"},
        RejectionCase{{L"--execute-plan"}, "Error: --execute-plan requires plan file path"},
        RejectionCase{{L"--install-prereqs", L"--cdn"}, "Error: --cdn requires URL"},
        RejectionCase{{L"--target"}, "Error: --target requires path"},
        RejectionCase{{L"--session-root"}, "Error: --session-root requires path"},
        RejectionCase{{L"--files-manifest"}, "Error: --files-manifest requires path"},
        RejectionCase{{L"--progress-pipe"}, "Error: --progress-pipe requires pipe name"},
        RejectionCase{{L"--write-uninstall", L"--target", L"C:\\x", L"--version"},
                      "Error: --version requires version string"},
        // Requirements of the chosen command.
        RejectionCase{{L"--install-prereqs"}, "Error: --install-prereqs requires --cdn"},
        RejectionCase{{L"--apply-manifest", L"https://m", L"--target", L"/t"},
                      "Error: --apply-manifest requires --target and --cdn"},
        RejectionCase{{L"--apply-manifest", L"", L"--target", L"/t", L"--cdn", L"https://c"},
                      "Error: --apply-manifest requires --target and --cdn"},
        RejectionCase{{L"--apply-manifest", L"https://m", L"--target", L"/t", L"--cdn", L"https://c",
                       L"--session-root", L"/s"},
                      "Error: --session-root and --files-manifest must be provided together"},
        RejectionCase{{L"--apply-manifest", L"https://m", L"--target", L"/t", L"--cdn", L"https://c",
                       L"--files-manifest", L"/f"},
                      "Error: --session-root and --files-manifest must be provided together"},
        RejectionCase{{L"--write-uninstall", L"--target", L"/t"},
                      "Error: --write-uninstall requires --target and --version"},
        RejectionCase{{L"--create-shortcuts"}, "Error: --create-shortcuts requires --target"},
        RejectionCase{{L"--release-session", L"--session-root", L""},
                      "Error: --release-session requires --session-root"},
        RejectionCase{{L"--remove"}, "Error: --remove requires --target"},
        RejectionCase{{L"--help", L"--remove"}, "Error: --remove requires --target"},
        RejectionCase{{L"--execute-plan", L""}, "Error: --execute-plan requires plan file path"},
        // Repeated commands: the second is refused before its value is read.
        RejectionCase{{L"--remove", L"--remove", L"--target", L"/t"}, "Error: Multiple commands specified"},
        RejectionCase{{L"--install-prereqs", L"--apply-manifest", L"https://m"}, "Error: Multiple commands specified"},
        // Unknown forms; parsing stops at the first rejection.
        RejectionCase{{L"-H"}, "Error: Unknown argument: -H"},
        RejectionCase{{L"-V"}, "Error: Unknown argument: -V"},
        RejectionCase{{L"--Help"}, "Error: Unknown argument: --Help"},
        RejectionCase{{L"--cdn=x"}, "Error: Unknown argument: --cdn=x"},
        RejectionCase{{L"stray", L"--remove"}, "Error: Unknown argument: stray"},
        RejectionCase{{L"--bogus", L"--also-bogus"}, "Error: Unknown argument: --bogus"},
        RejectionCase{{L"--\u00e9t\u00e9"}, "Error: Unknown argument: --\xc3\xa9t\xc3\xa9"}));

TEST(CommandLineTest, AcceptsEachCommandWithItsValues) {
    ParseOutcome o = Parse({L"--verbose", L"--apply-manifest", L"https://m", L"--target", L"/t", L"--cdn",
                            L"https://c", L"--session-root", L"/s", L"--files-manifest", L"/f", L"--progress-pipe",
                            L"\\\\.\\pipe\\p"});
    ASSERT_EQ(o.result, 0);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.options.command, HelperCommand::ApplyManifest);
    EXPECT_EQ(o.options.manifestUrl, L"https://m");
    EXPECT_EQ(o.options.targetPath, L"/t");
    EXPECT_EQ(o.options.cdnUrl, L"https://c");
    EXPECT_EQ(o.options.sessionRoot, L"/s");
    EXPECT_EQ(o.options.filesManifest, L"/f");
    EXPECT_EQ(o.options.progressPipe, L"\\\\.\\pipe\\p");
    EXPECT_TRUE(o.options.verbose);
    EXPECT_FALSE(o.options.help);

    o = Parse({L"--remove", L"--purge", L"--target", L"/t", L"-v"});
    ASSERT_EQ(o.result, 0);
    EXPECT_EQ(o.options.command, HelperCommand::Remove);
    EXPECT_TRUE(o.options.purge);
    EXPECT_TRUE(o.options.verbose);

    o = Parse({L"--execute-plan", L"plan.json"});
    ASSERT_EQ(o.result, 0);
    EXPECT_EQ(o.options.command, HelperCommand::ExecutePlan);
    EXPECT_EQ(o.options.planFile, L"plan.json");

    o = Parse({L"--write-uninstall", L"--version", L"1.2.3", L"--target", L"/t", L"--purge"});
    ASSERT_EQ(o.result, 0);
    EXPECT_EQ(o.options.command, HelperCommand::WriteUninstall);
    EXPECT_EQ(o.options.version, L"1.2.3");
}

TEST(CommandLineTest, LastValueWins) {
    const ParseOutcome o = Parse({L"--target", L"a", L"--target", L"b", L"--create-shortcuts"});
    ASSERT_EQ(o.result, 0);
    EXPECT_EQ(o.options.command, HelperCommand::CreateShortcuts);
    EXPECT_EQ(o.options.targetPath, L"b");
}

TEST(CommandLineTest, ValueOptionSwallowsTheNextFlag) {
    const ParseOutcome o = Parse({L"--install-prereqs", L"--cdn", L"--target"});
    ASSERT_EQ(o.result, 0);
    EXPECT_EQ(o.options.cdnUrl, L"--target");
    EXPECT_EQ(o.options.targetPath, L"");
}

TEST(CommandLineTest, HelpFormsAreFlagsThatDoNotStopTheParse) {
    for (const wchar_t* form : {L"--help", L"-h", L"/?"}) {
        const ParseOutcome o = Parse({form});
        EXPECT_EQ(o.result, 0) << form;
        EXPECT_TRUE(o.options.help) << form;
        EXPECT_EQ(o.options.command, HelperCommand::None) << form;
    }
    const ParseOutcome o = Parse({L"-h", L"--release-session", L"--session-root", L"/s"});
    ASSERT_EQ(o.result, 0);
    EXPECT_TRUE(o.options.help);
    EXPECT_EQ(o.options.command, HelperCommand::ReleaseSession);
    EXPECT_EQ(o.options.sessionRoot, L"/s");
}

TEST(CommandLineTest, UnusedOptionsAreAccepted) {
    const ParseOutcome o = Parse({L"--install-prereqs", L"--cdn", L"https://c", L"--session-root", L"/s", L"--purge"});
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.err, "");
}

TEST(CommandLineTest, NoArgumentsIsAcceptedWithoutCommand) {
    const ParseOutcome o = Parse({});
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.options.command, HelperCommand::None);
    EXPECT_FALSE(o.options.help);
}

const char* const kExpectedUsage =
    "Zuvelo Elevated Helper v1.0.0\n"
    "Privileged operations for Zuvelo installation and updates\n"
    "\n"
    "Usage:\n"
    "  C:\\P\\Zuvelo\u00e9.exe --execute-plan <plan-file.json>\n"
    "  C:\\P\\Zuvelo\u00e9.exe --install-prereqs --cdn <root-url>\n"
    "  C:\\P\\Zuvelo\u00e9.exe --apply-manifest <manifest-url> --target <path> --cdn <root-url>\n"
    "  C:\\P\\Zuvelo\u00e9.exe --write-uninstall --target <path> --version <x.y.z>\n"
    "  C:\\P\\Zuvelo\u00e9.exe --create-shortcuts --target <path>\n"
    "  C:\\P\\Zuvelo\u00e9.exe --release-session --session-root <path>\n"
    "  C:\\P\\Zuvelo\u00e9.exe --remove --target <path> [--purge]\n"
    "\n"
    "Commands:\n"
    "  --execute-plan         Execute a batch of operations from JSON plan (single UAC prompt)\n"
    "  --install-prereqs      Install VC++ and DirectX prerequisites\n"
    "  --apply-manifest       Download, verify and apply update manifest\n"
    "  --write-uninstall      Write uninstall registry entries\n"
    "  --create-shortcuts     Create Start Menu shortcuts\n"
    "  --release-session      Remove a prepared download session\n"
    "  --remove               Remove installation (with optional --purge)\n"
    "\n"
    "Options:\n"
    "  --cdn <url>            CDN root URL for downloads\n"
    "  --session-root <path>  Use pre-downloaded session contents\n"
    "  --files-manifest <path> Descriptor JSON for pre-downloaded files\n"
    "  --target <path>        Installation target directory\n"
    "  --version <x.y.z>      Version string for uninstall entry\n"
    "  --purge                Remove user data when uninstalling\n"
    "  --progress-pipe <name> Internal: named pipe for streaming JSON logs\n"
    "  --verbose, -v          Enable verbose logging\n"
    "  --help, -h, /?         Show this help message\n"
    "\n"
    "Exit Codes:\n"
    "  0    Success\n"
    "  1    Invalid arguments\n"
    "  2    Insufficient privileges\n"
    "  100+ Command-specific errors (see documentation)\n"
    "\n"
    "Output: Progress and status information is written as JSONL to stdout.\n"
    "Errors and diagnostics are written to stderr.\n";

TEST(CommandLineTest, UsageTextIsExactWithTheProgramPathAsUtf8) {
    testing::internal::CaptureStdout();
    PrintUsage(L"C:\\P\\Zuvelo\u00e9.exe");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), kExpectedUsage);
}

}  // namespace
}  // namespace zuvelo
