// Prerequisites as the built ZuveloElevated installs them from the test server,
// with a fake installer that registers its runtime through the registry tool.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/text.h"
#include "tests/e2e/apply_manifest_fixture.h"
#include "tests/support/detection_registry.h"
#include "tests/support/event_summary.h"
#include "tests/support/fake_program.h"
#include "tests/support/scoped_env.h"

namespace zuvelo::test {
namespace {

using ::testing::Contains;
using ::testing::IsEmpty;

// The registry the program reads is the machine root's, on Windows the machine's own:
// this process points at the same one, and puts detection's values back as they were.
class PrerequisitesE2e : public ApplyManifestE2e {
protected:
    PrerequisitesE2e() { registry_.Clear(); }

    ScopedEnvironmentVariable machineRootVariable_{"ZUVELO_MACHINE_ROOT", machineRoot_.path().string()};
    DetectionRegistry registry_;
};

TEST_F(PrerequisitesE2e, MissingRuntimeIsDownloadedInstalledAndVerified) {
    SetSz(kDotNetKey, L"", L"8.0.11");
    const std::string tool = ZUVELO_REGISTRY_TOOL_PATH;
    const std::string vcKey = WideToUtf8(kVcKey);
    WriteFakeProgram(Www() / "prerequisites/VC_redist.x64.exe",
                     {.commands = {{tool, "set", vcKey, "Version", "REG_SZ", "14.40.33810.0"},
                                   {tool, "set", vcKey, "Installed", "REG_DWORD", "1"}}});
    const ProgramResult result = Run({"--install-prereqs", "--cdn", CdnUrl()});
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    const std::vector<std::string> events = SummarizeAll(Events(result));
    EXPECT_THAT(events, Contains("completion install_prerequisites"));
    EXPECT_THAT(events, Contains("diagnostic INFO VC++ Redistributable detected: 14.40.33810.0"));
    EXPECT_FALSE(std::filesystem::exists(temp_ / "ZuveloPrereqs"));
}

TEST_F(PrerequisitesE2e, NothingMissingEndsCommandAndPlanWithAlreadyInstalled) {
    SetSz(kVcKey, L"Version", L"14.40.33810.0");
    SetDword(kVcKey, L"Installed", 1);
    SetSz(kDotNetKey, L"", L"8.0.11");
    WriteFile(work_ / "plan.json", R"({"operations": [{"type": "install_prereqs", "cdnUrl": ")" + CdnUrl() + "\"}]}");
    for (const std::vector<std::string>& arguments : {std::vector<std::string>{"--install-prereqs", "--cdn", CdnUrl()},
                                                      {"--execute-plan", (work_ / "plan.json").string()}}) {
        const ProgramResult result = Run(arguments);
        EXPECT_EQ(result.exitCode, 104) << result.out << result.err;  // PrereqAlreadyInstalled
        EXPECT_THAT(SummarizeAll(Events(result)), Contains("diagnostic INFO All required prerequisites are installed"));
    }
    EXPECT_THAT(Server().Requests(), IsEmpty());
    EXPECT_FALSE(std::filesystem::exists(temp_ / "ZuveloPrereqs"));
}

}  // namespace
}  // namespace zuvelo::test
