#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <json/value.h>

#include "platform/file_lock.h"
#include "tests/support/https_test_server.h"
#include "tests/support/program_runner.h"
#include "tests/support/sample_release.h"
#include "tests/support/test_folders.h"
#include "tests/support/trusted_ca.h"

// Runs the built ZuveloElevated against an in-process HTTPS server, each test
// with its own machine root, its own temporary folder (and so its own download
// cache) and its own work folder for the served release, targets and sessions.
namespace zuvelo::test {

class ApplyManifestE2e : public testing::Test {
protected:
    ApplyManifestE2e();

    std::filesystem::path Www() const { return work_ / "www"; }
    std::filesystem::path CacheDir() const { return temp_ / "ZuveloCache"; }
    std::string CdnUrl() const { return server_->Url("/"); }
    std::string ManifestUrl() const { return server_->Url("/manifest.json"); }
    HttpsTestServer& Server() { return *server_; }

    // Files under files/<h8>/<path> and a signed legacy manifest at /manifest.json.
    std::vector<ReleaseEntry> PublishLegacy(const std::vector<ReleaseFile>& files);
    // Only the manifest: a server that holds none of the files.
    std::vector<ReleaseEntry> PublishLegacyManifestOnly(const std::vector<ReleaseFile>& files);

    // started receives the process id once the program runs.
    ProgramResult Run(const std::vector<std::string>& arguments, const std::function<void(pid_t)>& started = {});
    // --apply-manifest <manifest> --target <target> --cdn <root>, then `more`.
    ProgramResult Apply(const std::filesystem::path& target, const std::vector<std::string>& more = {});

    // Takes the programs' update lock in this process, as a running update holds it.
    void TakeUpdateLock(platform::FileLock& lock) const;
    // Waits until `count` runs wait for the update lock: true once they do (Linux
    // counts them in /proc/locks), false after 30 s. Windows cannot count them:
    // there it waits a fixed 3 s and says true.
    bool WaitForLockWaiters(int count) const;

    // Targets of the requests that fetched anything but the manifest.
    std::vector<std::string> FileRequests() const;
    std::vector<ServerRequest> RequestsFor(const ReleaseEntry& entry) const;

    TempFolder machineRoot_;
    TempFolder temp_;
    TempFolder work_;

private:
    std::unique_ptr<HttpsTestServer> server_;
    // The program trusts the machine's roots on Windows, SSL_CERT_FILE on Linux.
    std::unique_ptr<ScopedTrustedCa> trusted_;
};

// Only the Linux build's server runs inside the test process, where it can call request observers.
#ifdef _WIN32
inline constexpr bool kServerObservesRequests = false;
#else
inline constexpr bool kServerObservesRequests = true;
#endif
inline constexpr const char* kNoRequestObservers = "request observers need the Linux build's in-process test server";

// "/files/<h8>/<path>"
std::string RequestTarget(const ReleaseEntry& entry);

std::vector<Json::Value> Events(const ProgramResult& result);
// The "manifest_processing" statuses in order, each followed by " <files_processed>" when present.
std::vector<std::string> ManifestStatuses(const std::vector<Json::Value>& events);
bool HasDiagnostic(const std::vector<Json::Value>& events, const std::string& level, const std::string& message);
bool HasDiagnosticStartingWith(const std::vector<Json::Value>& events, const std::string& level,
                               const std::string& prefix);

// Relative path -> content.
using Tree = std::map<std::string, std::string>;
// Each content replaced by its size and hash, so a failed comparison stays readable.
Tree Fingerprints(const Tree& tree);
std::string Fingerprint(const std::string& content);
// Fingerprints of every regular file below root; links and folders are not listed.
Tree TreeOf(const std::filesystem::path& root);
// Fingerprints of the required files.
Tree RequiredTree(const std::vector<ReleaseFile>& files);
void WriteTree(const std::filesystem::path& root, const Tree& tree);
// Every file below root whose name ends in ".tmp".
std::vector<std::string> TemporaryFilesBelow(const std::filesystem::path& root);

bool IsReadOnly(const std::filesystem::path& file);
// Sets the modification time to now minus `age`, in whole seconds.
void SetAge(const std::filesystem::path& path, std::chrono::seconds age);
// The modification time in whole seconds, to compare with another such value.
int64_t ModificationSeconds(const std::filesystem::path& path);

// Polls done every 10 ms until it holds: true, or false after 30 s.
bool WaitUntil(const std::function<bool()>& done);

// Deterministic filler bytes.
std::string Bytes(size_t size, char seed);

}  // namespace zuvelo::test
