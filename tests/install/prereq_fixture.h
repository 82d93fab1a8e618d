#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <string>
#include <vector>

#include "common/text.h"
#include "install/prereq_installer.h"
#include "platform/system_information.h"
#include "tests/support/detection_registry.h"
#include "tests/support/fake_system_information.h"
#include "tests/support/fake_program.h"
#include "tests/support/log_capture.h"
#include "tests/support/scoped_env.h"
#include "tests/support/test_folders.h"

// Installers working in their own machine root and download folder, with the
// system's answers set by each test and the retry pauses recorded.
namespace zuvelo::test {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

class PrereqFixture : public testing::Test {
protected:
    std::unique_ptr<PrereqInstaller> Installer(const std::wstring& cdn = L"https://cdn.invalid") {
        PrereqInstallerOptions options;
        options.downloadDirectory = downloads;
        options.system = system;
        options.installerTimeout = installerTimeout;
        options.commandTimeout = commandTimeout;
        options.sleep = [this](milliseconds pause) {
            sleeps.push_back(pause);
            if (onSleep) onSleep(sleeps.size());
        };
        return std::make_unique<PrereqInstaller>(cdn, options);
    }
    // The table as built, where only the rows of the given types are missing.
    static void MarkMissing(PrereqInstaller& installer, const std::vector<PrerequisiteType>& missing) {
        installer.BuildPrerequisiteTable();
        for (PrerequisiteInfo& row : installer.Prerequisites()) {
            row.installed = std::find(missing.begin(), missing.end(), row.type) == missing.end();
        }
    }

    ScopedMachineRoot machine;
    TempFolder temp;
    fs::path downloads = temp / "ZuveloPrereqs";
    milliseconds installerTimeout{30000};
    milliseconds commandTimeout{30000};
    LogCapture log{true};
    std::shared_ptr<FakeSystemInformation> system = std::make_shared<FakeSystemInformation>();
    std::vector<milliseconds> sleeps;
    std::function<void(size_t)> onSleep;
};

}  // namespace zuvelo::test
