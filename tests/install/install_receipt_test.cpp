#include "install/install_receipt.h"

#include <signal.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "common/text.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_folders.h"

namespace zuvelo {
namespace {

namespace fs = std::filesystem;

// 2024-03-05T07:08:09Z
const std::chrono::system_clock::time_point kFixedTime = std::chrono::system_clock::from_time_t(1709622489);

InstallReceipt SampleReceipt(const std::wstring& installPath) {
    InstallReceipt receipt = BuildInstallReceipt(installPath, L"1.8.0", kFixedTime);
    SetReceiptComponent(receipt, "launcher", {L"1.8.0", {installPath + L"/Launcher/ZuveloLauncher.exe"}});
    SetReceiptComponent(receipt, "helper", {L"1.0.0", {installPath + L"/Launcher/ZuveloUninstall.exe"}});
    receipt.shortcuts = {{L"Zuvelo", L"START_MENU", L"ALL_USERS"}};
    receipt.uninstallKey = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Zuvelo";
    return receipt;
}

TEST(InstallReceiptTest, TextIsSortedIndentedEscapedAndHasNoFinalLineBreak) {
    const std::string expected = R"({
  "components" : 
  {
    "helper" : 
    {
      "files" : 
      [
        "/opt/Zuv\u00e9lo/Launcher/ZuveloUninstall.exe"
      ],
      "version" : "1.0.0"
    },
    "launcher" : 
    {
      "files" : 
      [
        "/opt/Zuv\u00e9lo/Launcher/ZuveloLauncher.exe"
      ],
      "version" : "1.8.0"
    }
  },
  "firewallRules" : [],
  "installDate" : "2024-03-05T07:08:09Z",
  "installPath" : "/opt/Zuv\u00e9lo",
  "launcherPath" : "/opt/Zuv\u00e9lo/Launcher",
  "registry" : 
  {
    "uninstallKey" : "HKEY_LOCAL_MACHINE\\SOFTWARE\\Zuvelo"
  },
  "scheduledTasks" : [],
  "services" : [],
  "shortcuts" : 
  [
    {
      "name" : "Zuvelo",
      "scope" : "ALL_USERS",
      "type" : "START_MENU"
    }
  ],
  "version" : "1.8.0"
})";
    EXPECT_EQ(InstallReceiptToJson(SampleReceipt(L"/opt/Zuv\u00e9lo")), expected);
    EXPECT_NE(InstallReceiptToJson(InstallReceipt{}).find("\"components\" : null,"), std::string::npos);
}

// The receipt is staged beside the old one and renamed over it: a failed write
// keeps the previous receipt whole and leaves nothing behind, and a link planted
// at its name is replaced, never written through.
TEST(InstallReceiptTest, WritesAreStagedAndNeverFollowALink) {
    test::TempFolder folder;
    const fs::path target = folder / "Zuvelo" / "InstallReceipt.json";
    const fs::path outside = folder / "outside.txt";
    const std::wstring install = Utf8ToWide((folder / "Zuvelo").string());
    InstallReceipt invalidText = SampleReceipt(install);
    invalidText.version = std::wstring(1, static_cast<wchar_t>(0xD800));
    const struct {
        const char* name;
        InstallReceipt receipt;
        rlim_t fileSizeLimit;
        bool plantLink;
        ErrorCode expected;
    } cases[] = {
        {"write fails", SampleReceipt(install), 64, false, ErrorCode::ReceiptWriteFailed},
        {"invalid text", invalidText, RLIM_INFINITY, false, ErrorCode::InternalError},
        {"planted link", SampleReceipt(install), RLIM_INFINITY, true, ErrorCode::Success},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::LogCapture log;
        fs::remove_all(target.parent_path());
        fs::create_directories(target.parent_path());
        test::WriteFile(outside, "outside");
        const std::string previous = "{\"previous\": true}";
        if (c.plantLink) fs::create_symlink(outside, target);
        else test::WriteFile(target, previous);

        rlimit saved{};
        ::getrlimit(RLIMIT_FSIZE, &saved);
        rlimit limited = saved;
        limited.rlim_cur = c.fileSizeLimit;
        ::signal(SIGXFSZ, SIG_IGN);
        ::setrlimit(RLIMIT_FSIZE, &limited);
        const ErrorCode result = WriteInstallReceipt(c.receipt, Utf8ToWide(target.string()));
        ::setrlimit(RLIMIT_FSIZE, &saved);
        ::signal(SIGXFSZ, SIG_DFL);

        EXPECT_EQ(result, c.expected);
        EXPECT_EQ(test::ReadFile(outside), "outside");
        EXPECT_EQ(test::ReadFile(target), c.plantLink ? InstallReceiptToJson(c.receipt) : previous);
        EXPECT_FALSE(fs::is_symlink(target));
        EXPECT_EQ(std::distance(fs::directory_iterator(target.parent_path()), fs::directory_iterator()), 1);
    }
}

}  // namespace
}  // namespace zuvelo
