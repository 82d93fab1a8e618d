// The uninstall entry and the install receipt as the built ZuveloElevated writes
// them, read back with the registry tool and the uninstaller's receipt reader.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <json/value.h>
#include <json/writer.h>

#include "common/text.h"
#include "install/product_identity.h"
#include "platform/registry.h"
#include "tests/e2e/elevated_program.h"
#include "tests/support/log_capture.h"
#include "tests/support/program_runner.h"
#include "tests/support/scoped_env.h"
#include "tests/support/test_folders.h"
#include "uninstall/install_receipt_reader.h"

namespace zuvelo {
namespace {

namespace fs = std::filesystem;

// On Windows the entry is in the machine's own registry, shared by every test.
void DeleteUninstallKey() { platform::OpenMachineRegistry()->DeleteTree(kUninstallKeyPath); }

class RegistrationTest : public testing::Test {
protected:
    RegistrationTest() { DeleteUninstallKey(); }
    ~RegistrationTest() override { DeleteUninstallKey(); }

    // The install folder joined with a relative path, as the programs join paths.
    std::string InstallPathOf(const char* relative) const {
        return Utf8FromPath(work_ / "Zuvelo" / fs::path(relative).make_preferred());
    }

    test::ScopedMachineRoot machineRoot_;
    test::TempFolder temp_;
    test::TempFolder work_;
    const std::string install_ = Utf8FromPath(work_ / "Zuvelo");

    test::ProgramResult Run(const std::string& program, const std::vector<std::string>& arguments) {
        return test::RunProgram(program, arguments,
                                {{"ZUVELO_MACHINE_ROOT", machineRoot_.path().string()}, {test::kTempFolderVariable, temp_.path().string()}});
    }

    // "TYPE DATA" of a value of the uninstall entry, or "missing".
    std::string EntryValue(const std::string& name) {
        const test::ProgramResult result = Run(ZUVELO_REGISTRY_TOOL_PATH, {"get", WideToUtf8(kUninstallKeyPath), name});
        return result.exitCode == 2 ? "missing" : result.out;
    }

    std::string WritePlan(const std::vector<Json::Value>& steps) {
        Json::Value plan(Json::objectValue);
        plan["operations"] = Json::Value(Json::arrayValue);
        for (const Json::Value& step : steps) plan["operations"].append(step);
        const fs::path path = work_ / "plan.json";
        test::WriteFile(path, Json::writeString(Json::StreamWriterBuilder(), plan));
        return path.string();
    }
};

TEST_F(RegistrationTest, CommandAndPlanWriteTheEntryAndTheReceipt) {
    const test::ProgramResult command = Run(kElevatedProgram, {"--write-uninstall", "--target", install_, "--version", "1.8.0"});
    ASSERT_EQ(command.exitCode, 0) << command.out;
    EXPECT_EQ(EntryValue("DisplayVersion"), "REG_SZ 1.8.0\n");
    EXPECT_EQ(EntryValue("VersionMinor"), "REG_DWORD 8\n");
    EXPECT_EQ(EntryValue("UninstallString"), "REG_SZ \"" + InstallPathOf("ZuveloLauncher.exe") + "\" --uninstall\n");

    const std::string launcher = InstallPathOf("Launcher/ZuveloLauncher.exe");
    const std::string uninstaller = InstallPathOf("Launcher/ZuveloUninstall.exe");
    test::WriteFile(launcher, "l");
    test::WriteFile(uninstaller, "u");
    Json::Value entry;
    entry["type"] = "write_uninstall";
    entry["targetPath"] = install_;
    entry["version"] = "2.0.0";
    entry["launcherExecutable"] = launcher;
    entry["uninstallerExecutable"] = uninstaller;
    Json::Value receipt;
    receipt["type"] = "write_receipt";
    receipt["targetPath"] = install_ + "/";
    receipt["version"] = "2.0.0";
    const test::ProgramResult plan = Run(kElevatedProgram, {"--execute-plan", WritePlan({entry, receipt})});
    ASSERT_EQ(plan.exitCode, 0) << plan.out;
    EXPECT_EQ(EntryValue("DisplayVersion"), "REG_SZ 2.0.0\n");
    EXPECT_EQ(EntryValue("VersionMinor"), "missing");
    EXPECT_EQ(EntryValue("DisplayIcon"), "REG_SZ " + launcher + ",0\n");
    EXPECT_EQ(EntryValue("UninstallString"), "REG_SZ \"" + uninstaller + "\"\n");
    EXPECT_EQ(EntryValue("NoRepair"), "REG_DWORD 1\n");

    test::LogCapture log;
    InstallReceipt read;
    ASSERT_EQ(ReadInstallReceipt(GetInstallReceiptPath(Utf8ToWide(install_)), read), ErrorCode::Success);
    EXPECT_EQ(WideToUtf8(read.installPath), install_);
    EXPECT_EQ(WideToUtf8(read.launcherPath), InstallPathOf("Launcher"));
    EXPECT_EQ(read.version, L"2.0.0");
    EXPECT_TRUE(read.launcher.version.empty());  // no launcherExecutable: the helper only
    EXPECT_EQ(read.helper.version, L"1.0.0");
    EXPECT_EQ(WideToUtf8(read.helper.files.at(2)), uninstaller);
    EXPECT_EQ(read.shortcuts.size(), 2u);
    EXPECT_EQ(read.uninstallKey, L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Zuvelo");
}

}  // namespace
}  // namespace zuvelo
