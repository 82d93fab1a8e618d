#include "uninstall/install_receipt_reader.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "common/paths.h"
#include "common/text.h"
#include "install/install_receipt.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_folders.h"

namespace zuvelo {
namespace {

TEST(InstallReceiptReaderTest, ReadsBackWhatTheWriterWrote) {
    test::LogCapture log;
    test::TempFolder folder;
    const std::wstring install = WidePath(folder.path()) + L"/Zuv\u00e9lo";
    InstallReceipt written = BuildInstallReceipt(install, L"1.8.0");
    SetReceiptComponent(written, "launcher", {L"1.8.0", {install + L"/Launcher/ZuveloLauncher.exe"}});
    SetReceiptComponent(written, "helper", {L"1.0.0", {install + L"/Launcher/ZuveloElevated.exe", L"Launcher/x.exe"}});
    written.shortcuts = {{L"Zuvelo", L"START_MENU", L"ALL_USERS"}, {L"Zuvelo", L"DESKTOP", L"ALL_USERS"}};
    written.uninstallKey = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Zuvelo";
    const std::wstring path = GetInstallReceiptPath(install);
    ASSERT_EQ(WriteInstallReceipt(written, path), ErrorCode::Success);

    InstallReceipt read;
    ASSERT_EQ(ReadInstallReceipt(path, read), ErrorCode::Success);
    EXPECT_EQ(InstallReceiptToJson(read), InstallReceiptToJson(written));
    EXPECT_TRUE(log.HasMessage("Install receipt read successfully"));
}

TEST(InstallReceiptReaderTest, RefusesUnsafeOrMalformedReceipts) {
    const std::string install = R"("installPath": "/opt/Zuvelo")";
    const struct {
        const char* name;
        std::string text;
        std::string message;  // the diagnostic that says why, up to its first ':' for parse errors
    } cases[] = {
        {"launcher outside", "{" + install + R"(, "launcherPath": "/opt/Other/Launcher"})",
         "Receipt installPath/launcherPath is not safely contained"},
        {"relative install path", R"({"installPath": "opt/Zuvelo"})",
         "Receipt installPath/launcherPath is not safely contained"},
        // A root written with a trailing separator contains only itself.
        {"root with a trailing separator", R"({"installPath": "/opt/Zuvelo/", "launcherPath": "/opt/Zuvelo/Launcher"})",
         "Receipt installPath/launcherPath is not safely contained"},
        {"component file outside", "{" + install + R"(, "components": {"helper": {"version": "1", "files": ["/etc/x"]}}})",
         "Failed to parse receipt JSON"},
        {"raw NUL", "{" + install + std::string(", \"version\": \"1\0\"}", 18), "Receipt JSON contains an embedded NUL"},
        {"escaped NUL", "{" + install + R"(, "version": "1\u0000"})", "Receipt JSON contains an escaped embedded NUL"},
        {"empty file", "", "JSON parse error"},
        {"root array", R"(["/opt/Zuvelo"])", "Exception parsing JSON"},
        // Read up to the size cap; one byte more is refused unread.
        {"blank up to the size cap", std::string(kMaxInstallReceiptBytes, ' '), "JSON parse error"},
        {"beyond the size cap", std::string(kMaxInstallReceiptBytes + 1, ' '),
         "Receipt file is larger than 16777216 bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::LogCapture log;
        test::TempFolder folder;
        test::WriteFile(folder / "InstallReceipt.json", c.text);
        InstallReceipt receipt;
        receipt.version = L"untouched";
        EXPECT_EQ(ReadInstallReceipt(GetInstallReceiptPath(WidePath(folder.path())), receipt),
                  ErrorCode::InvalidArguments);
        EXPECT_EQ(receipt.version, L"untouched");
        bool found = false;
        for (const Json::Value& event : log.EventsWhere("event_type", "diagnostic")) {
            found = found || event["message"].asString().rfind(c.message, 0) == 0;
        }
        EXPECT_TRUE(found);
    }
}

}  // namespace
}  // namespace zuvelo
