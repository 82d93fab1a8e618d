#include "tests/e2e/apply_manifest_fixture.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <fstream>
#include <sstream>
#include <thread>

#include "common/update_lock.h"
#include "tests/e2e/elevated_program.h"
#include "tests/support/scoped_env.h"

namespace zuvelo::test {

namespace fs = std::filesystem;

ApplyManifestE2e::ApplyManifestE2e() {
    fs::create_directories(Www());
    server_ = std::make_unique<HttpsTestServer>(Www());
    trusted_ = std::make_unique<ScopedTrustedCa>(server_->CaFile());
}

std::vector<ReleaseEntry> ApplyManifestE2e::PublishLegacy(const std::vector<ReleaseFile>& files) {
    std::vector<ReleaseEntry> entries = PublishFiles(Www(), files);
    WriteJsonFile(Www() / "manifest.json", SignedLegacyManifest(entries, SigningKey::ManifestTestKey()));
    return entries;
}

std::vector<ReleaseEntry> ApplyManifestE2e::PublishLegacyManifestOnly(const std::vector<ReleaseFile>& files) {
    std::vector<ReleaseEntry> entries;
    for (const ReleaseFile& file : files) entries.push_back(EntryOf(file));
    WriteJsonFile(Www() / "manifest.json", SignedLegacyManifest(entries, SigningKey::ManifestTestKey()));
    return entries;
}

ProgramResult ApplyManifestE2e::Run(const std::vector<std::string>& arguments,
                                    const std::function<void(pid_t)>& started) {
    return RunProgram(kElevatedProgram, arguments,
                      {{"ZUVELO_MACHINE_ROOT", machineRoot_.path().string()},
                       {kTempFolderVariable, temp_.path().string()},
                       {"SSL_CERT_FILE", server_->CaFile().string()},
                       // A proxy from the environment must not see loopback requests.
                       {"no_proxy", "127.0.0.1"},
                       {"NO_PROXY", "127.0.0.1"}},
                      started);
}

ProgramResult ApplyManifestE2e::Apply(const fs::path& target, const std::vector<std::string>& more) {
    std::vector<std::string> arguments{"--apply-manifest", ManifestUrl(), "--target", target.string(), "--cdn", CdnUrl()};
    arguments.insert(arguments.end(), more.begin(), more.end());
    return Run(arguments);
}

void ApplyManifestE2e::TakeUpdateLock(platform::FileLock& lock) const {
    const ScopedEnvironmentVariable root("ZUVELO_MACHINE_ROOT", machineRoot_.path().string());
    ASSERT_EQ(HoldUpdateLock(lock, "test"), ErrorCode::Success);
}

namespace {

#ifndef _WIN32
// Processes blocked on the lock file, as the kernel lists them.
int LockWaiters(const fs::path& lockFile) {
    struct stat st {};
    if (::stat(lockFile.c_str(), &st) != 0) return 0;
    const std::string inode = ":" + std::to_string(st.st_ino);
    std::ifstream locks("/proc/locks");
    int waiters = 0;
    for (std::string line; std::getline(locks, line);) {
        std::istringstream words(line);
        for (std::string word; words >> word;) {
            if (word.ends_with(inode) && line.find("->") != std::string::npos) ++waiters;
        }
    }
    return waiters;
}
#endif

}  // namespace

bool ApplyManifestE2e::WaitForLockWaiters(int count) const {
#ifdef _WIN32
    static_cast<void>(count);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    return true;
#else
    const fs::path lockFile = machineRoot_.path() / "locks" / "update.lock";
    return WaitUntil([&] { return LockWaiters(lockFile) == count; });
#endif
}

bool WaitUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 3000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
}

std::vector<std::string> ApplyManifestE2e::FileRequests() const {
    std::vector<std::string> targets;
    for (const ServerRequest& request : server_->Requests()) {
        if (request.target != "/manifest.json") targets.push_back(request.target);
    }
    return targets;
}

std::vector<ServerRequest> ApplyManifestE2e::RequestsFor(const ReleaseEntry& entry) const {
    std::vector<ServerRequest> found;
    for (const ServerRequest& request : server_->Requests()) {
        if (request.target == RequestTarget(entry)) found.push_back(request);
    }
    return found;
}

std::string RequestTarget(const ReleaseEntry& entry) { return "/" + ServedPath(entry); }

std::vector<Json::Value> Events(const ProgramResult& result) { return ParseJsonLines(result.out); }

std::vector<std::string> ManifestStatuses(const std::vector<Json::Value>& events) {
    std::vector<std::string> statuses;
    for (const Json::Value& event : events) {
        if (event["operation"].asString() != "manifest_processing") continue;
        std::string status = event["status"].asString();
        if (event.isMember("files_processed")) status += " " + std::to_string(event["files_processed"].asInt());
        statuses.push_back(status);
    }
    return statuses;
}

bool HasDiagnostic(const std::vector<Json::Value>& events, const std::string& level, const std::string& message) {
    for (const Json::Value& event : events) {
        if (event["event_type"].asString() == "diagnostic" && event["level"].asString() == level &&
            event["message"].asString() == message)
            return true;
    }
    return false;
}

bool HasDiagnosticStartingWith(const std::vector<Json::Value>& events, const std::string& level,
                               const std::string& prefix) {
    for (const Json::Value& event : events) {
        if (event["event_type"].asString() == "diagnostic" && event["level"].asString() == level &&
            event["message"].asString().rfind(prefix, 0) == 0)
            return true;
    }
    return false;
}

std::string Fingerprint(const std::string& content) {
    return std::to_string(content.size()) + " bytes, sha256 " + Sha256Hex(content).substr(0, 16);
}

Tree Fingerprints(const Tree& tree) {
    Tree fingerprints;
    for (const auto& [path, content] : tree) fingerprints[path] = Fingerprint(content);
    return fingerprints;
}

Tree TreeOf(const fs::path& root) {
    Tree tree;
    if (!fs::exists(root)) return tree;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file() && !entry.is_symlink())
            tree[fs::relative(entry.path(), root).generic_string()] = Fingerprint(ReadFile(entry.path()));
    }
    return tree;
}

Tree RequiredTree(const std::vector<ReleaseFile>& files) {
    Tree tree;
    for (const ReleaseFile& file : files) {
        if (file.required) tree[file.path] = Fingerprint(file.content);
    }
    return tree;
}

void WriteTree(const fs::path& root, const Tree& tree) {
    for (const auto& [path, content] : tree) WriteFile(root / path, content);
}

std::vector<std::string> TemporaryFilesBelow(const fs::path& root) {
    std::vector<std::string> found;
    if (!fs::exists(root)) return found;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
        if (entry.path().extension() == ".tmp") found.push_back(fs::relative(entry.path(), root).generic_string());
    }
    return found;
}

bool IsReadOnly(const fs::path& file) {
    constexpr fs::perms kWrite = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    return (fs::status(file).permissions() & kWrite) == fs::perms::none;
}

void SetAge(const fs::path& path, std::chrono::seconds age) {
    fs::last_write_time(path, std::chrono::floor<std::chrono::seconds>(fs::file_time_type::clock::now()) - age);
}

int64_t ModificationSeconds(const fs::path& path) {
    return std::chrono::floor<std::chrono::seconds>(fs::last_write_time(path).time_since_epoch()).count();
}

std::string Bytes(size_t size, char seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + static_cast<size_t>(seed) * 7) % 251);
    return bytes;
}

}  // namespace zuvelo::test
