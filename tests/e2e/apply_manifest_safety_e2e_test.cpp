// --apply-manifest end to end as an unlucky user or a local attacker meets it:
// runs at the same time, links planted in the installation, a run killed
// while it installs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#ifndef _WIN32
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#endif

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "platform/file_lock.h"
#include "platform/staged_file.h"
#include "platform/unique_fd.h"
#include "tests/e2e/apply_manifest_fixture.h"

namespace zuvelo::test {
namespace {

namespace fs = std::filesystem;
using ::testing::AnyOf;
using ::testing::Eq;
using ::testing::IsEmpty;
using ::testing::SizeIs;

constexpr const char* kWaiting = "Waiting for another update to finish";

class ApplyManifestSafetyE2e : public ApplyManifestE2e {
protected:
    // A signed manifest of these files at /<name>.json; its URL.
    std::string PublishRelease(const std::string& name, const std::vector<ReleaseFile>& files) {
        WriteJsonFile(Www() / (name + ".json"), SignedLegacyManifest(PublishFiles(Www(), files),
                                                                     SigningKey::ManifestTestKey()));
        return Server().Url("/" + name + ".json");
    }

    ProgramResult ApplyFrom(const std::string& manifestUrl, const fs::path& target,
                            const std::function<void(pid_t)>& started = {}) {
        return Run({"--apply-manifest", manifestUrl, "--target", target.string(), "--cdn", CdnUrl()}, started);
    }

    std::future<ProgramResult> ApplyInBackground(const std::string& manifestUrl, const fs::path& target) {
        return std::async(std::launch::async, [=, this] { return ApplyFrom(manifestUrl, target); });
    }

    fs::path LockFile() const { return machineRoot_.path() / "locks" / "update.lock"; }
};

std::vector<ReleaseFile> Release(char version) {
    return {{"app.bin", Bytes(3 << 20, version)},
            {"data/x.txt", std::string("x of ") + version},
            {"data/y.txt", std::string("y of ") + version}};
}

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

bool WaitUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 3000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
}
#endif

TEST_F(ApplyManifestSafetyE2e, TwoRunsWithOneTemporaryFolderEachInstallTheirOwnRelease) {
    const std::string a = PublishRelease("a", Release('a'));
    const std::string b = PublishRelease("b", Release('b'));
    auto first = ApplyInBackground(a, work_ / "a");
    auto second = ApplyInBackground(b, work_ / "b");

    EXPECT_EQ(first.get().exitCode, 0);
    EXPECT_EQ(second.get().exitCode, 0);
    EXPECT_EQ(TreeOf(work_ / "a"), RequiredTree(Release('a')));
    EXPECT_EQ(TreeOf(work_ / "b"), RequiredTree(Release('b')));
    EXPECT_THAT(TemporaryFilesBelow(CacheDir()), IsEmpty());
}

TEST_F(ApplyManifestSafetyE2e, TwoRunsIntoOneTargetTakeTurns) {
#ifdef _WIN32
    GTEST_SKIP() << "the runs waiting on the lock are counted in Linux's /proc/locks";
#else
    const std::string a = PublishRelease("a", Release('a'));
    const std::string b = PublishRelease("b", Release('b'));
    fs::create_directories(LockFile().parent_path());
    fs::permissions(LockFile().parent_path(), fs::perms::owner_all, fs::perm_options::replace);
    platform::FileLock held;
    ASSERT_EQ(held.Acquire(LockFile(), {}), 0u);

    auto first = ApplyInBackground(a, work_ / "install");
    auto second = ApplyInBackground(b, work_ / "install");
    ASSERT_TRUE(WaitUntil([&] { return LockWaiters(LockFile()) == 2; }));
    held.Release();

    for (auto* run : {&first, &second}) {
        const ProgramResult result = run->get();
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_TRUE(HasDiagnostic(Events(result), "INFO", kWaiting));
    }
    EXPECT_THAT(TreeOf(work_ / "install"), AnyOf(Eq(RequiredTree(Release('a'))), Eq(RequiredTree(Release('b')))));
#endif
}

TEST_F(ApplyManifestSafetyE2e, PlantedLinksAreNeverFollowed) {
    const fs::path outside = work_ / "outside";
    WriteFile(outside / "root-only.conf", "secret");
    fs::permissions(outside / "root-only.conf", fs::perms::owner_read | fs::perms::owner_write,
                    fs::perm_options::replace);
    const fs::perms secretPermissions = fs::status(outside / "root-only.conf").permissions();
    fs::create_directories(outside / "levels");
    const fs::path target = work_ / "install";
    fs::create_directories(target / "data");
    if (!MakeLink(outside / "root-only.conf", target / "README.txt", LinkKind::File) ||
        !MakeLink(outside / "levels", target / "data" / "levels", LinkKind::Folder))
        GTEST_SKIP() << kNoLinksHere;
    PublishLegacy({{.path = "README.txt", .content = "readme", .permissions = "444"},
                   {"data/levels/one.lvl", "level"}});

    const ProgramResult result = Apply(target);

    EXPECT_EQ(result.exitCode, 1);  // InvalidArguments
    EXPECT_TRUE(HasDiagnostic(Events(result), "ERROR", "Unsafe path in target: data/levels/one.lvl"));
    EXPECT_EQ(ReadFile(outside / "root-only.conf"), "secret");
    EXPECT_EQ(fs::status(outside / "root-only.conf").permissions(), secretPermissions);
    EXPECT_TRUE(fs::is_empty(outside / "levels"));
    EXPECT_FALSE(fs::is_symlink(target / "README.txt"));  // replaced as itself
}

#ifndef _WIN32
// Watches folder for the first staged file created in it and kills the run then.
class KillOnFirstStagedFile {
public:
    explicit KillOnFirstStagedFile(const fs::path& folder)
        : watch_(::inotify_init1(IN_CLOEXEC)) {
        ::inotify_add_watch(watch_.get(), folder.c_str(), IN_CREATE);
    }
    void Started(pid_t pid) { pid_ = pid; }
    // Blocks until a staged file appears, then kills the run.
    void KillWhenStaging() {
        alignas(inotify_event) char buffer[4096];
        while (true) {
            const ssize_t got = ::read(watch_.get(), buffer, sizeof buffer);
            if (got <= 0) return;
            for (char* at = buffer; at < buffer + got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(at);
                if (event->len > 0 && platform::IsStagedFileName(event->name)) {
                    WaitUntil([&] { return pid_.load() > 0; });
                    ::kill(pid_.load(), SIGKILL);
                    return;
                }
                at += sizeof(inotify_event) + event->len;
            }
        }
    }

private:
    platform::UniqueFd watch_;
    std::atomic<pid_t> pid_{0};
};
#endif

TEST_F(ApplyManifestSafetyE2e, RunKilledWhileInstallingLeavesEachFileOldOrNewAndTheRerunConverges) {
#ifdef _WIN32
    GTEST_SKIP() << "the run is killed when Linux's inotify shows its first staged file";
#else
    const fs::path target = work_ / "install";
    const std::vector<ReleaseFile> older = {{"big.bin", Bytes(24 << 20, 'o')}, {"small.txt", "old"}};
    const std::vector<ReleaseFile> newer = {{"big.bin", Bytes(24 << 20, 'n')}, {"small.txt", "new"}};
    ASSERT_EQ(ApplyFrom(PublishRelease("old", older), target).exitCode, 0);
    const std::string url = PublishRelease("new", newer);

    KillOnFirstStagedFile killer(target);
    auto killed = std::async(std::launch::async, [&] {
        return ApplyFrom(url, target, [&](pid_t pid) { killer.Started(pid); });
    });
    killer.KillWhenStaging();
    EXPECT_EQ(killed.get().exitCode, 128 + SIGKILL);
    EXPECT_THAT(TemporaryFilesBelow(target), SizeIs(1));  // the staged copy it was writing
    const Tree halfway = TreeOf(target);
    for (size_t i = 0; i < older.size(); ++i) {
        EXPECT_THAT(halfway.at(older[i].path),
                    AnyOf(Eq(Fingerprint(older[i].content)), Eq(Fingerprint(newer[i].content))));
    }

    EXPECT_EQ(ApplyFrom(url, target).exitCode, 0);
    EXPECT_EQ(TreeOf(target), RequiredTree(newer));
    EXPECT_THAT(TemporaryFilesBelow(target), IsEmpty());
#endif
}

}  // namespace
}  // namespace zuvelo::test
