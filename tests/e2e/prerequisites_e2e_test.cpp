// Prerequisites as the built ZuveloElevated installs them from the test server,
// with a fake installer that registers its runtime through the registry tool.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <json/value.h>
#include <json/writer.h>

#include "tests/e2e/apply_manifest_fixture.h"
#include "tests/support/event_summary.h"

namespace zuvelo::test {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::IsEmpty;

constexpr const char* kVcKey = "SOFTWARE\\Microsoft\\VisualStudio\\14.0\\VC\\Runtimes\\X64";
constexpr const char* kDotNetKey = "SOFTWARE\\WOW6432Node\\dotnet\\Setup\\InstalledVersions\\x64\\hostfxr";

class PrerequisitesE2e : public ApplyManifestE2e {
protected:
    void SetValue(const std::string& key, const std::string& name, const std::string& type, const std::string& data) {
        const ProgramResult result = Run(ZUVELO_REGISTRY_TOOL_PATH, {"set", key, name, type, data});
        ASSERT_EQ(result.exitCode, 0) << result.err;
    }
    ProgramResult Run(const std::string& program, const std::vector<std::string>& arguments) {
        return RunProgram(program, arguments, {{"ZUVELO_MACHINE_ROOT", machineRoot_.path().string()}});
    }
    fs::path Downloads() const { return temp_ / "ZuveloPrereqs"; }
};

TEST_F(PrerequisitesE2e, MissingRuntimeIsDownloadedInstalledAndVerified) {
    SetValue(kDotNetKey, "", "REG_SZ", "8.0.11");
    const std::string tool = ZUVELO_REGISTRY_TOOL_PATH;
    WriteFile(Www() / "prerequisites/VC_redist.x64.exe",
              "#!/bin/sh\n'" + tool + "' set '" + kVcKey + "' Version REG_SZ 14.40.33810.0 &&\n'" + tool + "' set '" +
                  kVcKey + "' Installed REG_DWORD 1\n");

    const ProgramResult result = ApplyManifestE2e::Run({"--install-prereqs", "--cdn", CdnUrl()});
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    const std::vector<std::string> events = SummarizeAll(Events(result));
    EXPECT_THAT(events, Contains("completion install_prerequisites"));
    EXPECT_THAT(events, Contains("diagnostic INFO VC++ Redistributable detected: 14.40.33810.0"));
    EXPECT_FALSE(fs::exists(Downloads()));
}

TEST_F(PrerequisitesE2e, NothingMissingEndsCommandAndPlanWithAlreadyInstalled) {
    SetValue(kVcKey, "Version", "REG_SZ", "14.40.33810.0");
    SetValue(kVcKey, "Installed", "REG_DWORD", "1");
    SetValue(kDotNetKey, "", "REG_SZ", "8.0.11");
    Json::Value plan;
    plan["operations"][0]["type"] = "install_prereqs";
    plan["operations"][0]["cdnUrl"] = CdnUrl();
    const fs::path planFile = work_ / "plan.json";
    WriteFile(planFile, Json::writeString(Json::StreamWriterBuilder(), plan));

    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--install-prereqs", "--cdn", CdnUrl()},
          std::vector<std::string>{"--execute-plan", planFile.string()}}) {
        const ProgramResult result = ApplyManifestE2e::Run(arguments);
        EXPECT_EQ(result.exitCode, 104) << result.out << result.err;  // PrereqAlreadyInstalled
        EXPECT_THAT(SummarizeAll(Events(result)),
                    Contains("diagnostic INFO All required prerequisites are installed"));
    }
    EXPECT_THAT(Server().Requests(), IsEmpty());
    EXPECT_FALSE(fs::exists(Downloads()));
}

}  // namespace
}  // namespace zuvelo::test
