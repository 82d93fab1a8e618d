// --apply-manifest end to end as an unlucky user or a local attacker meets it:
// runs at the same time, links planted in the installation, a run killed
// while it installs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#ifndef _WIN32
#include <signal.h>
#include <sys/inotify.h>
#endif

#include <atomic>
#include <chrono>
#include <future>

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
};

std::vector<ReleaseFile> Release(char version) {
    return {{"app.bin", Bytes(3 << 20, version)},
            {"data/x.txt", std::string("x of ") + version},
            {"data/y.txt", std::string("y of ") + version}};
}

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
    platform::FileLock held;
    TakeUpdateLock(held);

    auto first = ApplyInBackground(a, work_ / "install");
    auto second = ApplyInBackground(b, work_ / "install");
    ASSERT_TRUE(WaitForLockWaiters(2));
    held.Release();

    for (auto* run : {&first, &second}) {
        const ProgramResult result = run->get();
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_TRUE(HasDiagnostic(Events(result), "INFO", kWaiting));
    }
    EXPECT_THAT(TreeOf(work_ / "install"), AnyOf(Eq(RequiredTree(Release('a'))), Eq(RequiredTree(Release('b')))));
#endif
}

// A plan holds the lock from its apply to its prune: an update that waits for
// the apply runs after the plan's end, so the prune never deletes what it installs.
TEST_F(ApplyManifestSafetyE2e, AnUpdateWaitingForAPlansApplyRunsAfterThePlansPrune) {
    if (!kServerObservesRequests) GTEST_SKIP() << kNoRequestObservers;
    const fs::path target = work_ / "install";
    const std::string first = PublishRelease("first", {{"app.bin", "first"}});
    const std::string update = PublishRelease("update", {{"app.bin", "update"}, {"new.dll", "new"}});
    WriteFile(work_ / "session/files.json", R"({"files": [{"file": "app.bin"}]})");
    Json::Value plan;
    Json::Value& apply = plan["operations"].append(Json::Value());
    apply["type"] = "apply_manifest";
    apply["manifestUrl"] = first;
    apply["cdnUrl"] = CdnUrl();
    apply["targetPath"] = target.string();
    Json::Value& prune = plan["operations"].append(Json::Value());
    prune["type"] = "prune_orphans";
    prune["targetPath"] = target.string();
    prune["component"] = "client";
    prune["sessionRoot"] = (work_ / "session").string();
    prune["filesManifest"] = (work_ / "session/files.json").string();
    WriteJsonFile(work_ / "plan.json", plan);

    // The plan's apply is held at its manifest until the update waits for the lock.
    std::promise<void> applying;
    std::promise<void> resume;
    std::atomic<bool> held{false};
    Server().SetRequestObserver([&, resumed = resume.get_future().share()](const ServerRequest& request) {
        if (request.target.starts_with("/first.json") && !held.exchange(true)) {
            applying.set_value();
            resumed.wait();
        }
    });
    auto planRun =
        std::async(std::launch::async, [&] { return Run({"--execute-plan", (work_ / "plan.json").string()}); });
    applying.get_future().wait();
    auto updateRun = ApplyInBackground(update, target);
    const bool updateWaits = WaitForLockWaiters(1);
    resume.set_value();

    EXPECT_TRUE(updateWaits);
    const ProgramResult planned = planRun.get();
    const ProgramResult updated = updateRun.get();
    EXPECT_EQ(planned.exitCode, 0) << planned.out;
    EXPECT_EQ(updated.exitCode, 0) << updated.out;
    EXPECT_TRUE(HasDiagnostic(Events(updated), "INFO", kWaiting));
    EXPECT_EQ(TreeOf(target), Fingerprints({{"app.bin", "update"}, {"new.dll", "new"}}));
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
