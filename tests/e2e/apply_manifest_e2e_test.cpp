// --apply-manifest end to end: downloads over loopback HTTPS, the cache, the
// installed tree, rollback and the lost launcher.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <set>

#include "tests/e2e/apply_manifest_fixture.h"
#include "common/error_codes.h"
#include "common/file_operations.h"
#include "common/paths.h"
#include "common/text.h"
#include "platform/authenticode.h"
#include "platform/file_io.h"
#include "tests/support/pipe_listener.h"
#include "tests/support/signed_executables.h"

namespace zuvelo::test {
namespace {

namespace fs = std::filesystem;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::Ge;
using ::testing::IsEmpty;
using ::testing::Le;
using ::testing::Pair;

constexpr std::chrono::seconds kDay{24 * 3600};
// Only a guard against a hung run; nothing waits this long when all is well.
constexpr int kGuardMs = 60000;

// --- Fresh install, both dialects ---

enum class Dialect { Legacy, Asset };

void PrintTo(Dialect dialect, std::ostream* out) { *out << (dialect == Dialect::Legacy ? "legacy" : "asset"); }

class FreshInstall : public ApplyManifestE2e, public testing::WithParamInterface<Dialect> {};

std::vector<ReleaseFile> FreshFiles(Dialect dialect) {
    std::vector<ReleaseFile> files = {
        {"readme.txt", "Read me first.\n"},
        {"bin/app.bin", Bytes(100000, 'a')},
        {"data/levels/one/level.dat", Bytes(3000, 'l')},
        // Same bytes as readme.txt: one cache file, one download.
        {"docs/readme-copy.txt", "Read me first.\n"},
    };
    if (dialect == Dialect::Legacy) {
        files.push_back({"docs/licence.txt", "Licence text.\n", true, "444"});
        files.push_back({"extras/optional.pak", Bytes(5000, 'o'), false});
    }
    return files;
}

TEST_P(FreshInstall, InstallsTheRequiredFilesFromTheCache) {
    const std::vector<ReleaseFile> files = FreshFiles(GetParam());
    std::vector<ReleaseEntry> entries;
    if (GetParam() == Dialect::Legacy) {
        entries = PublishLegacy(files);
    } else {
        // Asset files are fetched from their own URL, not from files/<h8>/.
        for (const ReleaseFile& file : files) {
            ReleaseEntry entry = EntryOf(file);
            entry.downloadUrl = Server().Url("/full/" + file.path);
            WriteFile(Www() / "full" / file.path, file.content);
            entries.push_back(entry);
        }
        WriteJsonFile(Www() / "manifest.json", AssetManifest(entries));
    }
    const fs::path target = work_ / "install";

    const ProgramResult result = Apply(target);

    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_EQ(result.err, "");
    const auto events = Events(result);
    EXPECT_THAT(ManifestStatuses(events),
                ElementsAre("starting", "completed " + std::to_string(entries.size())));
    EXPECT_EQ(TreeOf(target), RequiredTree(files));
    // Built with the test key: the unsigned asset dialect is applied with one warning, the signed one without.
    const std::string noSignature = "Manifest signature not verified: asset manifests carry no signature";
    const auto isNoSignature = [&](const Json::Value& e) {
        return e["level"].asString() == "WARNING" && e["message"].asString() == noSignature;
    };
    EXPECT_EQ(std::count_if(events.begin(), events.end(), isNoSignature), GetParam() == Dialect::Asset ? 1 : 0);
    EXPECT_FALSE(HasDiagnosticStartingWith(events, "WARNING", "Manifest signature not verified: no trusted key"));

    std::vector<std::string> expectedRequests;
    std::set<std::string> hashes;
    for (const ReleaseEntry& entry : entries) {
        if (!entry.required || !hashes.insert(entry.sha256).second) continue;
        expectedRequests.push_back(GetParam() == Dialect::Legacy ? RequestTarget(entry) : "/full/" + entry.path);
        EXPECT_EQ(Sha256Hex(ReadFile(CacheDir() / entry.sha256.substr(0, 8) / entry.sha256)), entry.sha256)
            << "cache copy of " << entry.path;
    }
    EXPECT_THAT(FileRequests(), ElementsAreArray(expectedRequests)) << "optional and duplicate files never fetched";

    EXPECT_THAT(TemporaryFilesBelow(CacheDir()), IsEmpty());
    EXPECT_TRUE(!fs::exists(CacheDir() / "backups") || fs::is_empty(CacheDir() / "backups"));
#ifndef _WIN32  // on Windows an access list keeps others out, which Wine does not keep
    struct stat cache {};
    ASSERT_EQ(::lstat(CacheDir().c_str(), &cache), 0);
    EXPECT_EQ(cache.st_mode & 07777, 0700u);
#endif

    if (GetParam() == Dialect::Legacy) {
        EXPECT_TRUE(IsReadOnly(target / "docs/licence.txt"));
        EXPECT_FALSE(IsReadOnly(target / "readme.txt"));
    }
}

INSTANTIATE_TEST_SUITE_P(Dialects, FreshInstall, testing::Values(Dialect::Legacy, Dialect::Asset),
                         [](const auto& info) { return info.param == Dialect::Legacy ? "Legacy" : "Asset"; });

// --- A body cut short, then the next attempt ---

struct ResumeCase {
    const char* name;
    ServerFault second;  // what the server does from the second request on
};

void PrintTo(const ResumeCase& c, std::ostream* out) { *out << c.name; }

class ShortBody : public ApplyManifestE2e, public testing::WithParamInterface<ResumeCase> {};

TEST_P(ShortBody, NextAttemptCompletesTheFile) {
    if (!kServerObservesRequests) GTEST_SKIP() << kNoRequestObservers;
    const std::vector<ReleaseFile> files = {{"pack/big.bin", Bytes(300000, 'b')}, {"small.txt", "small\n"}};
    const std::vector<ReleaseEntry> entries = PublishLegacy(files);
    const std::string big = RequestTarget(entries[0]);
    Server().SetFault(big, ServerFault::Bytes(ServerFaultKind::MissingBytes, 100000));
    const ServerFault second = GetParam().second;
    Server().SetRequestObserver([this, big, second](const ServerRequest& request) {
        // The fault of this request is already chosen; later ones get `second`.
        if (request.target == big) Server().SetFault(big, second);
    });
    const fs::path target = work_ / "install";

    const ProgramResult result = Apply(target);

    ASSERT_EQ(result.exitCode, 0) << result.out;
    const std::vector<ServerRequest> requests = RequestsFor(entries[0]);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].Header("range"), "");
    EXPECT_EQ(requests[1].Header("range"), "bytes=200000-");
    EXPECT_EQ(TreeOf(target), RequiredTree(files));
}

INSTANTIATE_TEST_SUITE_P(
    Resume, ShortBody,
    testing::Values(ResumeCase{"ServerHonoursRange", ServerFault{}},
                    ResumeCase{"ServerIgnoresRangeSoTheFileStartsFresh", ServerFault::Of(ServerFaultKind::IgnoreRange)}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Wrong bytes from the server ---

class WrongHash : public ApplyManifestE2e {
protected:
    const std::vector<ReleaseFile> files_ = {{"game.bin", Bytes(20000, 'g')}};
    const Tree old_ = {{"game.bin", "the installed version\n"}};
    fs::path target_ = work_ / "install";
    ReleaseEntry entry_;
    fs::path served_;

    void SetUp() override {
        entry_ = PublishLegacy(files_)[0];
        served_ = Www() / ServedPath(entry_);
        WriteFile(served_, Corrupted(files_[0].content));
        WriteTree(target_, old_);
    }
    static std::string Corrupted(std::string bytes) {
        bytes[bytes.size() / 2] ^= 0x5A;
        return bytes;
    }
};

TEST_F(WrongHash, EveryTimeFailsAfterThreeRequestsAndLeavesTheTarget) {
    const ProgramResult result = Apply(target_);

    EXPECT_EQ(result.exitCode, 161) << result.out;
    EXPECT_EQ(RequestsFor(entry_).size(), 3u);
    EXPECT_EQ(TreeOf(target_), Fingerprints(old_));
    EXPECT_THAT(ManifestStatuses(Events(result)), ElementsAre("starting", "processing_failed 1"));
}

TEST_F(WrongHash, OnceThenRightSucceeds) {
    if (!kServerObservesRequests) GTEST_SKIP() << kNoRequestObservers;
    std::atomic<int> seen{0};
    Server().SetRequestObserver([this, &seen](const ServerRequest& request) {
        // Runs before the file is opened, so the second answer has the right bytes.
        if (request.target == RequestTarget(entry_) && ++seen == 2) {
            WriteFile(Www() / "right.bin", files_[0].content);
            fs::rename(Www() / "right.bin", served_);
        }
    });

    const ProgramResult result = Apply(target_);

    EXPECT_EQ(result.exitCode, 0) << result.out;
    EXPECT_EQ(RequestsFor(entry_).size(), 2u);
    EXPECT_EQ(TreeOf(target_), RequiredTree(files_));
}

// --- Where the target lies ---

// A path of exactly `length` characters below base, in components of at most 100.
fs::path PathOfLength(const fs::path& base, size_t length) {
    fs::path path = base;
    char fill = 'a';
    while (Utf8FromPath(path).size() + 1 < length) {
        const size_t left = length - Utf8FromPath(path).size() - 1;
        // Leaves at least one character for the next component, so the length comes out exact.
        const size_t take = left > 100 ? std::min<size_t>(100, left - 2) : left;
        path /= std::string(take, fill++);
    }
    return path;
}

// The file's bytes, read through this system's own calls (the C runtime under the C++
// library takes no path past 260 characters on Windows).
std::string ReadThroughPlatform(const fs::path& file) {
    platform::UniqueFd fd;
    if (platform::OpenForReading(file, fd) != 0) return "(cannot be opened)";
    std::string bytes;
    char buffer[4096];
    for (size_t got = 0; platform::ReadSome(fd.get(), buffer, sizeof buffer, got) == 0 && got > 0;) {
        bytes.append(buffer, got);
    }
    return bytes;
}

// The first install makes the target's missing parents without an ERROR line, and a
// target past the 260 characters of a plain Windows path installs and goes with
// --remove as any other.
TEST_F(ApplyManifestE2e, TargetsInstallAndGoWithRemove) {
    const std::vector<ReleaseFile> files = {{"readme.txt", "Read me first.\n"}, {"bin/app.bin", Bytes(5000, 'a')}};
    PublishLegacy(files);
    const std::vector<std::pair<std::string, fs::path>> rows = {
        {"under a missing parent", work_ / "newparent" / "Zuvelo"},
        {"300 characters", PathOfLength(work_.path(), 300)},
    };
    ASSERT_EQ(Utf8FromPath(rows[1].second).size(), 300u);
    for (const auto& [name, target] : rows) {
        SCOPED_TRACE(name);
        const ProgramResult applied = Apply(target);
        ASSERT_EQ(applied.exitCode, 0) << applied.out << applied.err;
        EXPECT_FALSE(HasDiagnosticStartingWith(Events(applied), "ERROR", "")) << applied.out;
        for (const ReleaseFile& file : files) {
            EXPECT_EQ(ReadThroughPlatform(target / PathFromUtf8(file.path)), file.content) << file.path;
        }

        const ProgramResult removed = Run({"--remove", "--target", Utf8FromPath(target), "--purge"});
        EXPECT_EQ(removed.exitCode, 0) << removed.out << removed.err;
        EXPECT_FALSE(PathExists(target));
    }
    // The C++ library's removal of the work folder takes no long path on Windows.
    EXPECT_EQ(RemoveTreeWithoutEvents(WidePath(work_ / std::string(100, 'a'))), 0u);
}

// --- Not found ---

TEST_F(ApplyManifestE2e, ManifestNotFoundFailsWith163BeforeAnyFile) {
    const ProgramResult result = Apply(work_ / "install");

    EXPECT_EQ(result.exitCode, 163) << result.out;
    EXPECT_THAT(ManifestStatuses(Events(result)), ElementsAre("starting", "download_failed"));
    EXPECT_THAT(FileRequests(), IsEmpty());
    EXPECT_FALSE(fs::exists(work_ / "install"));
}

// --- Signatures: the program is built with the test key ---

TEST_F(ApplyManifestE2e, ManifestSignedByAnotherKeyIsRefusedBeforeAnyFile) {
    const std::vector<ReleaseEntry> entries = PublishFiles(Www(), {{"bin/evil.txt", "evil\n"}});
    WriteJsonFile(Www() / "manifest.json", SignedLegacyManifest(entries, SigningKey::Generate()));

    const ProgramResult result = Apply(work_ / "install");

    EXPECT_EQ(result.exitCode, static_cast<int>(ErrorCode::ManifestSignatureInvalid)) << result.out;
    const auto events = Events(result);
    EXPECT_THAT(ManifestStatuses(events), ElementsAre("starting", "validation_failed"));
    EXPECT_TRUE(HasDiagnostic(events, "ERROR", "Manifest signature verification failed"));
    EXPECT_THAT(FileRequests(), IsEmpty());
    EXPECT_FALSE(fs::exists(work_ / "install"));
}

TEST_F(ApplyManifestE2e, FileNotFoundFailsWith161AfterThreeRequests) {
    const std::vector<ReleaseEntry> entries = PublishLegacy({{"present.txt", "here\n"}, {"absent.txt", "gone\n"}});
    fs::remove(Www() / ServedPath(entries[1]));

    const ProgramResult result = Apply(work_ / "install");

    EXPECT_EQ(result.exitCode, 161) << result.out;
    EXPECT_EQ(RequestsFor(entries[1]).size(), 3u);
    EXPECT_THAT(ManifestStatuses(Events(result)), ElementsAre("starting", "processing_failed 2"));
}

// --- An installation that fails half-way is rolled back ---

TEST_F(ApplyManifestE2e, InstallFailureRestoresTheEarlierFiles) {
    // c.txt cannot be installed: a folder stands where the file must go.
    const std::vector<ReleaseFile> files = {
        {"a.txt", "new a\n", true, "444"}, {"sub/b.txt", "new b\n"}, {"c.txt", "new c\n"}};
    PublishLegacy(files);
    const fs::path target = work_ / "install";
    const Tree old = {{"a.txt", "old a\n"}, {"sub/b.txt", "old b\n"},
                                                    {"c.txt/keep.txt", "in the way\n"}};
    WriteTree(target, old);
    // A read-only file is still replaced, and restored over the read-only new copy.
    fs::permissions(target / "a.txt", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    SetAge(target / "sub/b.txt", 2 * kDay);
    const int64_t oldTime = ModificationSeconds(target / "sub/b.txt");

    const ProgramResult result = Apply(target);

    EXPECT_THAT(result.exitCode, AllOf(Ge(140), Le(148))) << "a file-system code: " << result.out;
    const auto events = Events(result);
    EXPECT_THAT(ManifestStatuses(events), ElementsAre("starting", "processing_failed 3"));
    EXPECT_TRUE(HasDiagnostic(events, "INFO", "Attempting rollback..."));
    EXPECT_TRUE(HasDiagnostic(events, "INFO", "Backup restored successfully"));
    EXPECT_FALSE(HasDiagnostic(events, "ERROR", "Rollback failed - system may be in inconsistent state"));
    EXPECT_EQ(TreeOf(target), Fingerprints(old));
    EXPECT_EQ(ModificationSeconds(target / "sub/b.txt"), oldTime);
}

// --- The launcher goes away ---

TEST_F(ApplyManifestE2e, LostLauncherStopsWithEightAndKeepsTheBackup) {
    if (!kServerObservesRequests) GTEST_SKIP() << kNoRequestObservers;
    std::vector<ReleaseFile> files;
    Tree old;
    for (char i = '1'; i <= '6'; ++i) {
        const std::string path = std::string("data/f") + i + ".bin";
        files.push_back({path, Bytes(65536, i)});
        old[path] = "old " + path;
    }
    const std::vector<ReleaseEntry> entries = PublishLegacy(files);
    const fs::path target = work_ / "install";
    WriteTree(target, old);
    // The backup copies keep these times; the 24-hour cache expiry must not take them.
    for (const auto& [path, content] : old) SetAge(target / path, 2 * kDay);

    PipeListener listener(machineRoot_ / "pipe" / "zuvelo-e2e", 3);
    // The second file is answered only once the listener has gone, so the loss
    // always comes while files are still being fetched.
    const std::string held = RequestTarget(entries[1]);
    Server().SetRequestObserver([&listener, held](const ServerRequest& request) {
        if (request.target == held) listener.WaitUntilDone(kGuardMs);
    });

    const ProgramResult result = Apply(target, {"--progress-pipe", "\\\\.\\pipe\\zuvelo-e2e", "--verbose"});

    EXPECT_EQ(result.exitCode, 8) << result.out << result.err;
    EXPECT_THAT(listener.Lines().size(), Ge(3u)) << "lines read before the close";
    const auto events = Events(result);
    EXPECT_TRUE(HasDiagnosticStartingWith(events, "WARNING", "Progress pipe to launcher lost"));
    EXPECT_TRUE(HasDiagnostic(events, "WARNING",
                              "Launcher disconnected; leaving files in place for the next attempt instead of rolling back"));
    EXPECT_FALSE(HasDiagnostic(events, "INFO", "Attempting rollback..."));
    EXPECT_EQ(TreeOf(target), Fingerprints(old));

    const fs::path backups = CacheDir() / "backups";
    ASSERT_TRUE(fs::is_directory(backups));
    std::vector<fs::path> kept(fs::directory_iterator(backups), fs::directory_iterator{});
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_TRUE(fs::exists(kept[0] / "backup_manifest.json"));
    EXPECT_EQ(Fingerprint(ReadFile(kept[0] / "data/f1.bin")), Fingerprint(old["data/f1.bin"]));
}

// --- The cache across runs ---

TEST_F(ApplyManifestE2e, SecondRunIsServedFromTheCacheAndOldCacheFilesExpire) {
    const std::vector<ReleaseFile> files = {{"a.bin", Bytes(4000, 'a')}, {"b/b.bin", Bytes(5000, 'b')},
                                            {"c.txt", "c\n"}};
    const std::vector<ReleaseEntry> entries = PublishLegacy(files);
    ASSERT_EQ(Apply(work_ / "first").exitCode, 0);
    ASSERT_EQ(FileRequests().size(), 3u);

    Server().ClearRequests();
    const ProgramResult second = Apply(work_ / "second");
    ASSERT_EQ(second.exitCode, 0) << second.out;
    EXPECT_THAT(FileRequests(), IsEmpty());
    EXPECT_EQ(TreeOf(work_ / "second"), RequiredTree(files));

    auto cached = [this](const ReleaseEntry& entry) { return CacheDir() / entry.sha256.substr(0, 8) / entry.sha256; };
    SetAge(cached(entries[0]), kDay + std::chrono::seconds(60));
    SetAge(cached(entries[1]), kDay - std::chrono::hours(1));
    ASSERT_EQ(Apply(work_ / "third").exitCode, 0);
    EXPECT_FALSE(fs::exists(cached(entries[0]))) << "older than 24 hours";
    EXPECT_TRUE(fs::exists(cached(entries[1])));

    Server().ClearRequests();
    ASSERT_EQ(Apply(work_ / "fourth").exitCode, 0);
    EXPECT_THAT(FileRequests(), ElementsAre(RequestTarget(entries[0])));
}

// Another user who makes the cache's name first blocks nothing: the run works
// in a fresh private folder, and leaves the foreign one as it found it.
TEST_F(ApplyManifestE2e, ForeignCacheFolderIsLeftAloneAndTheUpdateRuns) {
#ifdef _WIN32
    GTEST_SKIP() << "a folder of another user is made with Linux's chown (Wine keeps no owner on files)";
#else
    PublishLegacy({{"a.txt", "a\n"}});
    fs::create_directories(CacheDir());
    WriteFile(CacheDir() / "manifest.json.tmp", "planted");
    ASSERT_EQ(::chown(CacheDir().c_str(), 65534, 65534), 0);

    const ProgramResult result = Apply(work_ / "install");

    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(HasDiagnosticStartingWith(Events(result), "WARNING", "Refusing cache folder " + CacheDir().string()));
    EXPECT_EQ(ReadFile(work_ / "install" / "a.txt"), "a\n");
    EXPECT_EQ(ReadFile(CacheDir() / "manifest.json.tmp"), "planted");
    EXPECT_THAT(TreeOf(temp_.path()), ElementsAre(Pair("ZuveloCache/manifest.json.tmp", Fingerprint("planted"))));
#endif
}

// --- Executables: a signed one installs quietly, an unsigned one with a warning ---

TEST_F(ApplyManifestE2e, SignedExecutableInstallsWithoutWarningAndUnsignedOneWithIt) {
    std::vector<ReleaseFile> files = {{"bin/unsigned.exe", TinyPeImage(), true, "", true}};
#ifndef _WIN32  // on Windows the signer's chain is judged by the machine's trust, which tests leave alone
    const TestIdentity root = MakeTestIdentity({"Code Signing Root"});
    const TestIdentity publisher = MakeTestIdentity({"Publisher", CertificateUse::CodeSigning}, &root);
    TrustCodeSigningRoot(machineRoot_.path(), root);
    files.push_back({"bin/signed.exe", SignPeImage(TinyPeImage(), publisher), true, "", true});
#endif
    PublishLegacy(files);
    const fs::path target = work_ / "install";

    const ProgramResult result = Apply(target);

    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    const auto events = Events(result);
    const std::string warning = "Executable signature verification failed: ";
    EXPECT_FALSE(HasDiagnostic(events, "WARNING", warning + (target / "bin" / "signed.exe").string()));
    EXPECT_TRUE(HasDiagnostic(events, "WARNING", warning + (target / "bin" / "unsigned.exe").string()));
    // TRUST_E_NOSIGNATURE, once: the signed file passed.
    const std::string failure = "Signature verification failed: ";
    EXPECT_TRUE(HasDiagnostic(events, "ERROR", failure + std::to_string(platform::trust::kNoSignature)));
    EXPECT_EQ(std::count_if(events.begin(), events.end(),
                            [&](const Json::Value& e) { return e["message"].asString().starts_with(failure); }),
              1);
    EXPECT_EQ(TreeOf(target), RequiredTree(files));
}

}  // namespace
}  // namespace zuvelo::test
