#include <sys/stat.h>
#ifndef _WIN32
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/manifest/apply_fixture.h"

namespace zuvelo {
namespace {

namespace fs = std::filesystem;
using test::EntryFor;
using test::ReadFile;
using test::WriteFile;

constexpr const char* kEmptyDigest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

bool IsReadOnly(const fs::path& file) {
    constexpr fs::perms kWrite = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    return (fs::status(file).permissions() & kWrite) == fs::perms::none;
}

class ManifestInstall : public test::HandlerFixture {
protected:
    ErrorCode Install(const ManifestFileEntry& entry, const fs::path& source) {
        return Handler()->InstallFile(entry, source, WidePath(target));
    }
    fs::path Source(const std::string& name, const std::string& bytes) {
        const fs::path path = temp / "source" / name;
        WriteFile(path, bytes);
        return path;
    }
    bool HasCopyEvent(const std::string& relativePath) const {
        for (const Json::Value& event : StatusEvents("file:copy", "completed")) {
            if (event["details"].asString() == relativePath) return true;
        }
        return false;
    }
};

TEST_F(ManifestInstall, VerifyFileOutcomes) {
    struct Row {
        const char* name;
        std::function<fs::path()> prepare;  // the file checked
        ManifestFileEntry entry;
        ErrorCode expected;
        std::string message;  // an ERROR line expected, if any
    };
    const std::string bytes = "hello";
    ManifestFileEntry wrongHash = EntryFor("a.bin", bytes);
    wrongHash.sha256 = test::Sha256Of("jello");
    ManifestFileEntry emptyWrongHash = EntryFor("empty.bin", "");
    emptyWrongHash.sha256 = test::Sha256Of("x");
    const std::vector<Row> rows = {
        {"matches", [&] { return Source("a.bin", bytes); }, EntryFor("a.bin", bytes), ErrorCode::Success, ""},
        {"missing", [&] { return temp / "nothing"; }, EntryFor("a.bin", bytes), ErrorCode::FileNotFound,
         "File not found: " + (temp / "nothing").string()},
        {"folder", [&] { return test::MakeFolder(temp / "folder"); }, EntryFor("a.bin", bytes),
         ErrorCode::FileNotFound, ""},
        {"shorter", [&] { return Source("a.bin", "hell"); }, EntryFor("a.bin", bytes), ErrorCode::FileHashMismatch,
         "File size mismatch for a.bin. Expected: 5, Actual: 4"},
        {"same size, other bytes", [&] { return Source("a.bin", bytes); }, wrongHash, ErrorCode::FileHashMismatch,
         "Hash verification failed for: a.bin"},
        {"same size, other bytes: both digests", [&] { return Source("a.bin", bytes); }, wrongHash,
         ErrorCode::FileHashMismatch, "Hash mismatch. Expected: " + wrongHash.sha256 + ", Actual: " + test::Sha256Of(bytes)},
        {"empty file", [&] { return Source("empty.bin", ""); }, EntryFor("empty.bin", ""), ErrorCode::Success, ""},
        {"empty file, other digest", [&] { return Source("empty.bin", ""); }, emptyWrongHash,
         ErrorCode::FileHashMismatch, "Hash verification failed for: empty.bin"},
    };
    ASSERT_EQ(EntryFor("e", "").sha256, kEmptyDigest);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        log.Clear();
        EXPECT_EQ(Handler()->VerifyFile(row.entry, row.prepare()), row.expected);
        if (!row.message.empty()) {
            EXPECT_TRUE(log.HasMessage(row.message));
        }
    }
}

TEST_F(ManifestInstall, NestedPathGetsItsFoldersAndACopyEvent) {
    const ManifestFileEntry entry = EntryFor("a/b/c.txt", "nested");
    ASSERT_EQ(Install(entry, Source("c.txt", "nested")), ErrorCode::Success);
    EXPECT_EQ(ReadFile(target / "a/b/c.txt"), "nested");
    EXPECT_TRUE(HasCopyEvent("a/b/c.txt"));
}

TEST_F(ManifestInstall, UnsafePathIsRefusedBeforeAnythingIsCreated) {
    for (const char* path : {"../x.dll", "..\\x.dll", "/etc/x.dll", "a/./b"}) {
        SCOPED_TRACE(path);
        log.Clear();
        EXPECT_EQ(Install(EntryFor(path, "x"), Source("x.dll", "x")), ErrorCode::InvalidArguments);
        EXPECT_TRUE(log.HasMessage("Refusing unsafe install path"));
        EXPECT_FALSE(fs::exists(target));
        EXPECT_FALSE(fs::exists(temp / "x.dll"));
    }
}

TEST_F(ManifestInstall, PermissionWords) {
    struct Row {
        const char* permissions;
        bool readOnly;
    };
    for (const Row& row : {Row{"444", true}, Row{"644", false}, Row{"755", false}, Row{"0755", false},
                           Row{"rwx", false}, Row{"", false}}) {
        SCOPED_TRACE(row.permissions);
        ManifestFileEntry entry = EntryFor("p.bin", "perm");
        entry.permissions = row.permissions;
        ASSERT_EQ(Install(entry, Source("p.bin", "perm")), ErrorCode::Success);
        EXPECT_EQ(IsReadOnly(target / "p.bin"), row.readOnly);
        fs::permissions(target / "p.bin", fs::perms::owner_write, fs::perm_options::add);
    }
}

// A read-only file from an earlier version must not keep the new one read-only,
// nor stand in the way of the copy.
TEST_F(ManifestInstall, ReadOnlyTargetIsReplaced) {
    for (const char* permissions : {"", "444"}) {
        SCOPED_TRACE(permissions);
        WriteFile(target / "ro.txt", "old version");
        fs::permissions(target / "ro.txt", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
        ManifestFileEntry entry = EntryFor("ro.txt", "new version");
        entry.permissions = permissions;
        ASSERT_EQ(Install(entry, Source("ro.txt", "new version")), ErrorCode::Success);
        EXPECT_EQ(ReadFile(target / "ro.txt"), "new version");
        EXPECT_EQ(IsReadOnly(target / "ro.txt"), std::string(permissions) == "444");
    }
}

// The copy must be what the manifest describes, not only what the source held.
TEST_F(ManifestInstall, CopyThatDoesNotMatchTheEntryIsRemoved) {
    ManifestFileEntry otherHash = EntryFor("m.bin", "expected");
    otherHash.sha256 = test::Sha256Of("EXPECTED");
    const ManifestFileEntry otherSize = EntryFor("m.bin", "expected bytes");
    for (const ManifestFileEntry& entry : {otherHash, otherSize}) {
        log.Clear();
        EXPECT_EQ(Install(entry, Source("m.bin", "expected")), ErrorCode::FileHashMismatch);
        EXPECT_FALSE(fs::exists(target / "m.bin"));
        EXPECT_FALSE(HasCopyEvent("m.bin"));
    }
}

// A folder of the target on a file system of its own (a mount point) takes its
// updated files: each is staged in its own folder, never renamed across file systems;
// a staged file an interrupted run left there goes too.
TEST_F(ManifestInstall, AnUpdateIntoAMountPointInsideTheTarget) {
#ifdef _WIN32
    GTEST_SKIP() << "mounts a file system in a Linux mount namespace of its own";
#else
    const fs::path mounted = test::MakeFolder(target / "data");
    const fs::path source = Source("level.dat", "new level");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("none", mounted.c_str(), "tmpfs", 0, "size=1m") != 0) {
            ::_exit(100);  // mounting is not allowed here
        }
        WriteFile(mounted / "level.dat", "old level");
        WriteFile(mounted / ".zuvelo-staged.0123456789ab.tmp", "left by a killed run");
        int status = Install(EntryFor("data/level.dat", "new level"), source) == ErrorCode::Success ? 0 : 1;
        if (ReadFile(mounted / "level.dat") != "new level") status |= 2;
        if (fs::exists(mounted / ".zuvelo-staged.0123456789ab.tmp")) status |= 4;
        ::umount2(mounted.c_str(), MNT_DETACH);
        ::_exit(status);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 100) GTEST_SKIP() << "mounting is not allowed here";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: install failed, 2: wrong content, 4: leftover kept";
#endif
}

TEST_F(ManifestInstall, FolderInTheWayFailsTheCopy) {
    test::MakeFolder(target / "blocked.txt" / "inner");
    const ErrorCode result = Install(EntryFor("blocked.txt", "data"), Source("blocked.txt", "data"));
    EXPECT_NE(result, ErrorCode::Success);
    EXPECT_TRUE(log.HasMessage("Failed to copy file to target: blocked.txt"));
    EXPECT_TRUE(fs::is_directory(target / "blocked.txt" / "inner"));
}

TEST_F(ManifestInstall, SignatureCheckOnlyForMarkedExeAndDllWithExactCase) {
    struct Row {
        const char* name;
        bool executable;
        bool checked;
    };
    for (const Row& row : {Row{"tool.exe", true, true}, Row{"lib.dll", true, true}, Row{"tool.EXE", true, false},
                           Row{"script.sh", true, false}, Row{"tool.exe", false, false}}) {
        SCOPED_TRACE(std::string(row.name) + (row.executable ? " executable" : ""));
        log.Clear();
        ManifestFileEntry entry = EntryFor(row.name, "MZ");
        entry.isExecutable = row.executable;
        // Nothing is reported as signed here, so a check always warns.
        ASSERT_EQ(Install(entry, Source(row.name, "MZ")), ErrorCode::Success);
        const std::string warning = "Executable signature verification failed: " + (target / row.name).string();
        EXPECT_EQ(log.HasMessage(warning), row.checked);
    }
}

// A cache file changed after the check: only files VerifyAllFiles checked in this run are
// copied without a second digest, and their staged copy must still have the entry's size.
TEST_F(ManifestInstall, CachedFilesChangedBehindTheInstallAreRefused) {
    struct Row {
        const char* name;
        bool verifiedInThisRun;
        std::string cachedAtInstall;
        ErrorCode expected;
    };
    const std::vector<Row> rows = {
        {"not verified, other bytes of the same size", false, "jello", ErrorCode::FileHashMismatch},
        {"verified, then one byte longer", true, "hello!", ErrorCode::FileHashMismatch},
        {"verified and unchanged", true, "hello", ErrorCode::Success},
    };
    UpdateManifest manifest;
    manifest.files = {EntryFor("data/a.bin", "hello")};
    const fs::path cached = cacheDir / manifest.files[0].sha256.substr(0, 8) / manifest.files[0].sha256;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(target);
        WriteFile(cached, "hello");
        const auto handler = Handler();
        if (row.verifiedInThisRun) {
            ASSERT_EQ(handler->VerifyAllFiles(manifest), ErrorCode::Success);
        }
        WriteFile(cached, row.cachedAtInstall);
        EXPECT_EQ(handler->InstallAllFiles(manifest, WidePath(target)), row.expected);
        EXPECT_EQ(fs::exists(target / "data/a.bin"), row.expected == ErrorCode::Success);
    }
}

// The folder held for the files of one folder is let go when a failed file takes the
// folders it made with it: the next file of that folder makes it again.
TEST_F(ManifestInstall, AFolderRemovedWithAFailedFileIsMadeAgainForTheNext) {
    const auto handler = Handler();
    EXPECT_EQ(handler->InstallFile(EntryFor("n/a.bin", "expected"), Source("a.bin", "other"), WidePath(target)),
              ErrorCode::FileHashMismatch);
    EXPECT_FALSE(fs::exists(target / "n"));
    EXPECT_EQ(handler->InstallFile(EntryFor("n/b.bin", "b"), Source("b.bin", "b"), WidePath(target)),
              ErrorCode::Success);
    EXPECT_EQ(ReadFile(target / "n/b.bin"), "b");
}

TEST_F(ManifestInstall, EnsureParentDirectory) {
    const auto handler = Handler();
    EXPECT_EQ(handler->EnsureParentDirectory(WidePath(target), "x/y/z.bin"), ErrorCode::Success);
    EXPECT_TRUE(fs::is_directory(target / "x/y"));
    EXPECT_FALSE(fs::exists(target / "x/y/z.bin"));
    EXPECT_EQ(handler->EnsureParentDirectory(WidePath(target), "w\\v.bin"), ErrorCode::Success);
    EXPECT_TRUE(fs::is_directory(target / "w"));
    EXPECT_EQ(handler->EnsureParentDirectory(WidePath(target), "../up.bin"), ErrorCode::InvalidArguments);
}

TEST_F(ManifestInstall, ProgressFigures) {
    const auto handler = Handler();
    // No totals yet: nothing to measure against.
    handler->UpdateProgress(1, 10, "a");
    EXPECT_EQ(handler->Progress().overallPercent, 0.0);

    UpdateManifest manifest;  // totals come from processing; set them through a failing run
    manifest.totalSize = 400;
    manifest.files = {EntryFor("a", "1"), EntryFor("b", "2")};
    fs::create_directories(cacheDir);
    fs::permissions(cacheDir, fs::perms::owner_all, fs::perm_options::replace);
    WriteFile(target, "a file where the target folder should be");
    EXPECT_NE(handler->ProcessManifestFiles(manifest, WidePath(target)), ErrorCode::Success);
    EXPECT_EQ(handler->Progress().totalFiles, 2);
    EXPECT_EQ(handler->Progress().totalBytes, 400u);

    handler->UpdateProgress(1, 100, "a");
    EXPECT_DOUBLE_EQ(handler->Progress().overallPercent, 25.0);
    EXPECT_EQ(handler->Progress().bytesPerSecond, 0.0);  // not even a second has passed

    now += std::chrono::seconds(2);
    handler->UpdateProgress(1, 100, "a");
    EXPECT_DOUBLE_EQ(handler->Progress().bytesPerSecond, 50.0);
    EXPECT_EQ(handler->Progress().estimatedRemainingMs, 6000u);

    // More than announced: nothing is left, instead of an absurd estimate.
    handler->UpdateProgress(2, 500, "");
    EXPECT_EQ(handler->Progress().estimatedRemainingMs, 0u);

    handler->UpdateFileProgress("b", 0, 0);
    EXPECT_EQ(handler->Progress().currentFilePercent, 100.0);
    handler->UpdateFileProgress("b", 1, 4);
    EXPECT_EQ(handler->Progress().currentFilePercent, 25.0);
    EXPECT_EQ(log.EventsWhere("operation", "download:b").size(), 2u);
}

}  // namespace
}  // namespace zuvelo
