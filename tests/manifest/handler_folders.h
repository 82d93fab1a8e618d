#pragma once

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/jsonl_logger.h"
#include "common/paths.h"
#include "manifest/manifest_handler.h"
#include "platform/sha256.h"
#include "tests/support/log_capture.h"
#include "tests/support/pipe_listener.h"
#include "tests/support/test_folders.h"

// A handler working in a folder of its own, with clocks the test drives.
namespace zuvelo::test {

namespace fs = std::filesystem;

inline std::string Sha256Of(const std::string& bytes) { return platform::Sha256Hex(bytes.data(), bytes.size()); }

inline ManifestFileEntry EntryFor(const std::string& path, const std::string& content, bool required = true) {
    ManifestFileEntry entry;
    entry.relativePath = path;
    entry.sha256 = Sha256Of(content);
    entry.size = content.size();
    entry.isRequired = required;
    return entry;
}

inline UpdateManifest ManifestOf(std::vector<ManifestFileEntry> entries) {
    UpdateManifest manifest;
    manifest.version = "2.0.0";
    manifest.gameVersion = "5.0.1";
    manifest.files = std::move(entries);
    return manifest;
}

inline std::wstring Wide(const fs::path& path) { return WidePath(path); }

inline bool IsWritable(const fs::path& path) {
    return (fs::status(path).permissions() & fs::perms::owner_write) != fs::perms::none;
}

// Names in a folder, for "nothing else was left behind".
inline std::vector<std::string> NamesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class HandlerFolders : public ::testing::Test {
public:
    ManifestHandlerOptions Options() {
        return ManifestHandlerOptions{.cacheDir = cache,
                                      .trustedPublicKeys = {},
                                      .http = {},
                                      .sleep = {},
                                      .now = [this] { return wallClock; },
                                      .monotonicNow = [this] { return monotonic += monotonicStep; }};
    }

    // Makes the logger lose its progress pipe, as when the launcher goes away.
    void LosePipe() {
        PipeListener listener(machine.path() / "pipe" / "handler-test", 1);
        ASSERT_TRUE(JsonlLogger::Instance().AttachPipe(L"\\\\.\\pipe\\handler-test", 2000));
        JsonlLogger::Instance().LogStatus("test", "one");
        ASSERT_TRUE(listener.WaitUntilDone(5000));
        for (int i = 0; i < 50 && !JsonlLogger::Instance().IsPipeLost(); ++i) {
            JsonlLogger::Instance().LogStatus("test", "more");
        }
        ASSERT_TRUE(JsonlLogger::Instance().IsPipeLost());
    }

    std::vector<Json::Value> StatusEvents(const std::string& status) const {
        return capture.EventsWhere("status", status);
    }

    ScopedMachineRoot machine;
    TempFolder root;
    LogCapture capture{true};
    fs::path cache = root / "ZuveloCache";
    fs::path target = root / "target";
    std::chrono::system_clock::time_point wallClock =
        std::chrono::sys_days(std::chrono::year{2026} / 1 / 1) + std::chrono::hours(9) + std::chrono::minutes(30) +
        std::chrono::seconds(5);
    std::chrono::steady_clock::time_point monotonic{};
    std::chrono::milliseconds monotonicStep{0};
    ManifestHandler handler{L"", Options()};
};

}  // namespace zuvelo::test
