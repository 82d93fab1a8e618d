// Prerequisites as the built ZuveloElevated installs them from the test server,
// with a fake installer that registers its runtime through the registry tool.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/e2e/apply_manifest_fixture.h"
#include "tests/support/event_summary.h"

namespace zuvelo::test {
namespace {

using ::testing::Contains;
using ::testing::IsEmpty;

constexpr const char* kVcKey = "SOFTWARE\\Microsoft\\VisualStudio\\14.0\\VC\\Runtimes\\X64";
constexpr const char* kDotNetKey = "SOFTWARE\\WOW6432Node\\dotnet\\Setup\\InstalledVersions\\x64\\hostfxr";
const std::string kTool = ZUVELO_REGISTRY_TOOL_PATH;

class PrerequisitesE2e : public ApplyManifestE2e {
protected:
    std::string SetValue(const std::string& key, const std::string& name, const std::string& typeAndData) {
        return "'" + kTool + "' set '" + key + "' '" + name + "' " + typeAndData;
    }
    void Register(const std::string& key, const std::string& name, const std::string& typeAndData) {
        ASSERT_EQ(std::system(("ZUVELO_MACHINE_ROOT='" + machineRoot_.path().string() + "' " +
                               SetValue(key, name, typeAndData)).c_str()), 0);
    }
};

TEST_F(PrerequisitesE2e, MissingRuntimeIsDownloadedInstalledAndVerified) {
    Register(kDotNetKey, "", "REG_SZ 8.0.11");
    const std::string script = "#!/bin/sh\n" + SetValue(kVcKey, "Version", "REG_SZ 14.40.33810.0") + " && " +
                               SetValue(kVcKey, "Installed", "REG_DWORD 1") + "\n";
    WriteFile(Www() / "prerequisites/VC_redist.x64.exe", script);
    const ProgramResult result = Run({"--install-prereqs", "--cdn", CdnUrl()});
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    const std::vector<std::string> events = SummarizeAll(Events(result));
    EXPECT_THAT(events, Contains("completion install_prerequisites"));
    EXPECT_THAT(events, Contains("diagnostic INFO VC++ Redistributable detected: 14.40.33810.0"));
    EXPECT_FALSE(std::filesystem::exists(temp_ / "ZuveloPrereqs"));
}

TEST_F(PrerequisitesE2e, NothingMissingEndsCommandAndPlanWithAlreadyInstalled) {
    Register(kVcKey, "Version", "REG_SZ 14.40.33810.0");
    Register(kVcKey, "Installed", "REG_DWORD 1");
    Register(kDotNetKey, "", "REG_SZ 8.0.11");
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
