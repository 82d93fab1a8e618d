#include "install/orphan_inventory.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>

#include "common/paths.h"
#include "manifest/prepared_session.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_folders.h"

namespace zuvelo {
namespace {

namespace fs = std::filesystem;

// The text followed by blanks up to size bytes.
std::string Padded(std::string text, uint64_t size) {
    text.resize(size, ' ');
    return text;
}

TEST(ReadExpectedFilesTest, ReadsKeysOrRefusesTheWholeManifest) {
    struct Row {
        std::string text;
        ErrorCode code;
        std::set<std::string> expected;
    };
    const Row rows[] = {
        {R"({"files":[{"file":"Bin\\Tool.DLL"},{"file":5},{},{"file":""},null]})",
         ErrorCode::Success,
         {"bin/tool.dll"}},
        {R"({"files":[{"file":"a"},{"file":"..\\x.dll"}]})", ErrorCode::InvalidArguments, {}},
        {R"({"files":[{"file":"C:/x.dll"}]})", ErrorCode::InvalidArguments, {}},
        {R"({"files":[{"file":"a\u0000b"}]})", ErrorCode::InvalidArguments, {}},
        {R"({"file":[]})", ErrorCode::InvalidArguments, {}},
        {R"({"files":["a.dll"]})", ErrorCode::InternalError, {}},
        {"{", ErrorCode::ManifestParseFailed, {}},
        // Read up to the size cap; one byte more is refused unread.
        {Padded(R"({"files":[{"file":"a"}]})", kMaxFilesManifestBytes), ErrorCode::Success, {"a"}},
        {Padded(R"({"files":[{"file":"a"}]})", kMaxFilesManifestBytes + 1), ErrorCode::ManifestParseFailed, {}},
    };
    test::TempFolder temp;
    test::LogCapture capture;
    for (const Row& row : rows) {
        test::WriteFile(temp / "files.json", row.text);
        std::set<std::string> expected;
        const std::string shown = row.text.substr(0, 80);
        EXPECT_EQ(ReadExpectedFiles(WidePath(temp / "files.json"), expected), row.code) << shown;
        EXPECT_EQ(expected, row.expected) << shown;
    }
    std::set<std::string> expected;
    EXPECT_EQ(ReadExpectedFiles(WidePath(temp / "missing.json"), expected), ErrorCode::FileNotFound);
}

// The launcher's names are protected whatever the kind, at any depth.
TEST(AllowlistTest, ProgramNamesAtAnyDepth) {
    test::LogCapture capture;
    std::set<std::string> allowlist;
    BuildAllowlist(allowlist, ComponentKind::Client);
    for (const char* key : {"sub/ZuveloElevated.exe", "ZuveloElevated.exe/readme.txt", "uninstall.exe",
                            "a/zuvelouninstall.exe", "zuveloelevatedlauncher.exe"}) {
        EXPECT_TRUE(IsAllowlisted(key, allowlist)) << key;
    }
    for (const char* key : {"zuveloelevated.exe.bak", "installreceipt.json", "my-uninstall.exe"}) {
        EXPECT_FALSE(IsAllowlisted(key, allowlist)) << key;
    }
}

}  // namespace
}  // namespace zuvelo
