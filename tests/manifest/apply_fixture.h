#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>
#include <json/value.h>
#include <openssl/evp.h>

#include "common/jsonl_logger.h"
#include "common/paths.h"
#include "common/text.h"
#include "manifest/canonical_manifest.h"
#include "manifest/manifest_handler.h"
#include "tests/manifest/manifest_documents.h"
#include "tests/support/fake_system_information.h"
#include "tests/support/https_test_server.h"
#include "tests/support/log_capture.h"
#include "tests/support/manifest_signing.h"
#include "tests/support/pipe_listener.h"
#include "tests/support/test_folders.h"
#include "tests/support/scoped_env.h"
#include "tests/support/trusted_ca.h"

// Handlers working in a temporary cache and target, with a recorded sleep and a
// fake clock, and a release served by the in-process HTTPS server.
namespace zuvelo::test {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

inline std::string Sha256Of(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    static const char* kHex = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 0xf];
    }
    return hex;
}

inline std::wstring Wide(const std::string& text) { return Utf8ToWide(text); }

inline ManifestFileEntry EntryFor(const std::string& relativePath, const std::string& bytes) {
    ManifestFileEntry entry;
    entry.relativePath = relativePath;
    entry.sha256 = Sha256Of(bytes);
    entry.size = bytes.size();
    return entry;
}

// Names in folder of the temporary files "<prefix><run token>.tmp"; none when the folder is missing.
inline std::vector<std::string> TemporaryFiles(const fs::path& folder, const std::string& prefix) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.starts_with(prefix) && name.ends_with(".tmp")) names.push_back(name);
    }
    return names;
}

inline fs::path MakeFolder(const fs::path& path) {
    fs::create_directories(path);
    return path;
}

using ScopedEnv = ScopedEnvironmentVariable;

// Collects the logger's lines like LogCapture, and lets a test act on a line
// the moment it is written (the hook runs under the logger's lock: it must not log).
class LogRecorder {
public:
    LogRecorder() {
        JsonlLogger& logger = JsonlLogger::Instance();
        logger.ResetForTesting();
        logger.SetVerbose(true);
        logger.SetStdoutSinkForTesting([this](std::string_view text) {
            lines_.emplace_back(text);
            if (onLine) onLine(lines_.back());
        });
    }
    ~LogRecorder() {
        JsonlLogger::Instance().SetStdoutSinkForTesting(nullptr);
        JsonlLogger::Instance().ResetForTesting();
    }
    LogRecorder(const LogRecorder&) = delete;
    LogRecorder& operator=(const LogRecorder&) = delete;

    std::vector<Json::Value> EventsWhere(const std::string& key, const std::string& value) const {
        std::vector<Json::Value> found;
        for (const std::string& line : lines_) {
            const Json::Value event = ParseJson(line);
            if (event.isMember(key) && event[key].isString() && event[key].asString() == value) found.push_back(event);
        }
        return found;
    }
    bool HasMessage(const std::string& message) const { return !EventsWhere("message", message).empty(); }
    bool HasMessageStarting(const std::string& prefix) const {
        for (const std::string& line : lines_) {
            if (ParseJson(line).get("message", "").asString().starts_with(prefix)) return true;
        }
        return false;
    }
    void Clear() { lines_.clear(); }

    std::function<void(const std::string&)> onLine;

private:
    std::vector<std::string> lines_;
};

class HandlerFixture : public ::testing::Test {
protected:
    ManifestHandlerOptions Options() {
        ManifestHandlerOptions options;
        options.cacheDir = cacheDir;
        options.trustedPublicKeys = {SigningKey::ManifestTestKey().PublicKeyBase64()};
        options.sleep = [this](milliseconds pause) {
            sleeps.push_back(pause);
            if (onSleep) onSleep(sleeps.size());
        };
        options.now = [this] { return now; };
        options.system = system;
        return options;
    }
    std::unique_ptr<ManifestHandler> Handler(const std::wstring& cdn = L"https://cdn.invalid/") {
        return std::make_unique<ManifestHandler>(cdn, Options());
    }

    // Events of one operation and status, e.g. ("manifest_processing", "completed").
    std::vector<Json::Value> StatusEvents(const std::string& operation, const std::string& status = "") const {
        std::vector<Json::Value> found;
        for (const Json::Value& event : log.EventsWhere("operation", operation)) {
            if (status.empty() || event["status"].asString() == status) found.push_back(event);
        }
        return found;
    }
    // Loses the launcher's pipe, as a failed write would.
    void LoseLauncherPipe() {
        PipeListener listener(machineRoot.path() / "pipe" / "launcher", 1);
        ASSERT_TRUE(JsonlLogger::Instance().AttachPipe(L"\\\\.\\pipe\\launcher", 2000));
        JsonlLogger::Instance().LogStatus("test", "connected");
        ASSERT_TRUE(listener.WaitUntilDone(5000));
        for (int i = 0; i < 50 && !JsonlLogger::Instance().IsPipeLost(); ++i) {
            JsonlLogger::Instance().LogStatus("test", "probe");
        }
        ASSERT_TRUE(JsonlLogger::Instance().IsPipeLost());
    }

    TempFolder temp;
    ScopedMachineRoot machineRoot;
    LogRecorder log;
    fs::path cacheDir = temp / "ZuveloCache";
    fs::path target = temp / "target";
    std::vector<milliseconds> sleeps;
    std::function<void(size_t)> onSleep;  // called with the number of pauses so far
    std::shared_ptr<FakeSystemInformation> system = std::make_shared<FakeSystemInformation>();  // free space
    // Starts at the real time: files written by the test carry real times.
    std::chrono::system_clock::time_point now = std::chrono::system_clock::now();
};

// A release under files/<h8>/<path> and a manifest signed with the test key.
class ServedReleaseFixture : public HandlerFixture {
protected:
    ServedReleaseFixture() {
        document["version"] = "1.2.3";
        document["gameVersion"] = "5.0.1";
        document["baseUrl"] = server.Url("/");
        document["signature"] = "";
        document["files"] = Json::Value(Json::arrayValue);
    }

    // Adds a file to the manifest and serves it; extra members go into its entry.
    ManifestFileEntry AddFile(const std::string& relativePath, const std::string& bytes,
                              const Json::Value& extra = Json::Value(Json::objectValue)) {
        Json::Value file = LegacyFile(relativePath, bytes.size(), Sha256Of(bytes));
        for (const std::string& key : extra.getMemberNames()) file[key] = extra[key];
        document["files"].append(file);
        const ManifestFileEntry entry = EntryFor(relativePath, bytes);
        WriteFile(ServedPath(entry), bytes);
        return entry;
    }
    fs::path ServedPath(const ManifestFileEntry& entry) const {
        return content / "files" / entry.sha256.substr(0, 8) / entry.relativePath;
    }
    std::string RequestPath(const ManifestFileEntry& entry) const {
        return "/files/" + entry.sha256.substr(0, 8) + "/" + entry.relativePath;
    }

    // Signs the manifest as it stands and serves it as manifest.json.
    void Publish() {
        document["signature"] = "";
        UpdateManifest parsed;
        ASSERT_EQ(ManifestHandler::ParseManifestJson(ToText(document), parsed), ErrorCode::Success);
        log.Clear();
        document["signature"] = SigningKey::ManifestTestKey().SignBase64(CanonicalManifestText(parsed));
        WriteFile(content / "manifest.json", ToText(document));
    }
    std::wstring ManifestUrl() const { return Wide(server.Url("/manifest.json")); }

    // Requests for one path, in order.
    std::vector<ServerRequest> RequestsFor(const std::string& path) const {
        std::vector<ServerRequest> found;
        for (const ServerRequest& request : server.Requests()) {
            if (request.target == path) found.push_back(request);
        }
        return found;
    }
    size_t FileRequests() const {
        size_t count = 0;
        for (const ServerRequest& request : server.Requests()) count += request.target.starts_with("/files/");
        return count;
    }

    fs::path content = MakeFolder(temp / "content");
    HttpsTestServer server{content};
    ScopedTrustedCa trust{server.CaFile()};
    Json::Value document;
};

}  // namespace zuvelo::test
