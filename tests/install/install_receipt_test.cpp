#include "install/install_receipt.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "common/paths.h"
#include "common/text.h"
#include "tests/support/file_size_limit.h"
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
    const std::string separator = kNativeSeparator == L'/' ? "/" : R"(\\)";  // as JSON writes it
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
  "launcherPath" : "/opt/Zuv\u00e9lo)" + separator + R"(Launcher",
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
    const std::wstring install = WidePath(folder / "Zuvelo");
    InstallReceipt invalidText = SampleReceipt(install);
    invalidText.version = std::wstring(1, static_cast<wchar_t>(0xD800));
    const struct {
        const char* name;
        InstallReceipt receipt;
        uint64_t fileSizeLimit;  // 0: none
        bool plantLink;
        ErrorCode expected;
    } cases[] = {
#ifndef _WIN32
        {"write fails", SampleReceipt(install), 64, false, ErrorCode::ReceiptWriteFailed},
#endif
        {"invalid text", invalidText, 0, false, ErrorCode::InternalError},
        {"planted link", SampleReceipt(install), 0, true, ErrorCode::Success},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::LogCapture log;
        fs::remove_all(target.parent_path());
        fs::create_directories(target.parent_path());
        test::WriteFile(outside, "outside");
        const std::string previous = "{\"previous\": true}";
        if (c.plantLink && !test::MakeLink(outside, target, test::LinkKind::File)) continue;  // none under Wine
        if (!c.plantLink) test::WriteFile(target, previous);

        ErrorCode result = ErrorCode::Success;
        {
#ifndef _WIN32
            std::optional<test::FileSizeLimit> limit;
            if (c.fileSizeLimit) limit.emplace(c.fileSizeLimit);
#endif
            result = WriteInstallReceipt(c.receipt, WidePath(target));
        }

        EXPECT_EQ(result, c.expected);
        EXPECT_EQ(test::ReadFile(outside), "outside");
        EXPECT_EQ(test::ReadFile(target), c.plantLink ? InstallReceiptToJson(c.receipt) : previous);
        EXPECT_FALSE(fs::is_symlink(target));
        EXPECT_EQ(std::distance(fs::directory_iterator(target.parent_path()), fs::directory_iterator()), 1);
    }
}

}  // namespace
}  // namespace zuvelo
