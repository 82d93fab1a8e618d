#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/paths.h"
#include "manifest/manifest_handler.h"
#include "tests/manifest/handler_folders.h"
#include "tests/support/file_size_limit.h"

namespace zuvelo {
namespace {

using test::EntryFor;
using test::ManifestOf;
using test::NamesIn;
using test::Wide;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
namespace fs = std::filesystem;

constexpr const wchar_t* kId = L"20260101_093005";  // the fixture's wall clock

class Backups : public test::HandlerFolders {
public:
    Backups() {
        test::WriteFile(target / "a.txt", "old-a");
        test::WriteFile(target / "sub" / "b.txt", "old-b");
    }

    // Entries for a.txt, sub/b.txt and c.txt (new: absent at the target).
    UpdateManifest Update() const {
        return ManifestOf({EntryFor("a.txt", "new-a"), EntryFor("sub/b.txt", "new-b"), EntryFor("c.txt", "new-c")});
    }

    ErrorCode Backup(const UpdateManifest& manifest, const std::set<std::string>* onlyThese = nullptr) {
        return handler.CreateBackup(manifest, Wide(target), backupId, onlyThese);
    }

    fs::path backups = cache / "backups";
    fs::path backupDir = backups / "20260101_093005";
    fs::path outside = root / "outside";
    std::wstring backupId;
};

TEST_F(Backups, SavesTheTargetFilesAndListsEveryEntry) {
    ASSERT_EQ(Backup(Update()), ErrorCode::Success);
    EXPECT_EQ(backupId, kId);
    EXPECT_EQ(test::ReadFile(backupDir / "a.txt"), "old-a");
    EXPECT_EQ(test::ReadFile(backupDir / "sub" / "b.txt"), "old-b");
    EXPECT_THAT(NamesIn(backupDir), ElementsAre("a.txt", "backup_manifest.json", "sub"));
    EXPECT_TRUE(capture.HasMessage("Backup created with ID: 20260101_093005 (backed up 2 files)"));

    const std::string text = test::ReadFile(backupDir / "backup_manifest.json");
    EXPECT_EQ(text.rfind("{\n  \"backupTime\" : \"1767259805\",\n  \"files\" : \n  [", 0), 0u) << text;
    const Json::Value document = test::ParseJson(text);
    ASSERT_EQ(document["files"].size(), 3u);
    EXPECT_EQ(document["files"][2]["relativePath"].asString(), "c.txt");
    EXPECT_EQ(document["files"][2]["sha256Hash"].asString(), test::Sha256Of("new-c"));
    EXPECT_EQ(document["files"][2]["size"].asUInt64(), 5u);
    EXPECT_EQ(document["gameVersion"].asString(), "5.0.1");
    EXPECT_EQ(document["version"].asString(), "2.0.0");
}

TEST_F(Backups, RestrictionSavesOnlyTheNamedFiles) {
    std::vector<ManifestFileEntry> entries;
    for (int i = 0; i < 10; ++i) {
        const std::string name = "f" + std::to_string(i);
        test::WriteFile(target / name, name);
        entries.push_back(EntryFor(name, "new"));
    }
    const std::set<std::string> onlyThese = {"f1", "f4", "f7"};
    ASSERT_EQ(Backup(ManifestOf(entries), &onlyThese), ErrorCode::Success);
    EXPECT_TRUE(capture.HasMessage("Backup created with ID: 20260101_093005 (backed up 3 files, skipped 7 unchanged)"));
    EXPECT_THAT(NamesIn(backupDir), ElementsAre("backup_manifest.json", "f1", "f4", "f7"));
}

TEST_F(Backups, UnsafeManifestPathCreatesNothing) {
    EXPECT_EQ(Backup(ManifestOf({EntryFor("a.txt", "x"), EntryFor("../x", "x")})), ErrorCode::InvalidArguments);
    EXPECT_TRUE(capture.HasMessage("Refusing unsafe backup path"));
    EXPECT_FALSE(fs::exists(backups));
}

TEST_F(Backups, PurgeRemovesEarlierBackupsButNeverFollowsALink) {
    test::WriteFile(backups / "20250101_000000" / "a.txt", "older");
    test::WriteFile(backups / "stray.txt", "stray");
    test::WriteFile(outside / "keep.txt", "keep");
    if (!test::MakeLink(outside, backups / "junction", test::LinkKind::Folder)) GTEST_SKIP() << test::kNoLinksHere;
#ifdef _WIN32
    const fs::path unsafe(ToExtendedLengthPath(WidePath(backups / "nul")));  // how Windows makes that name
#else
    const fs::path unsafe = backups / "nul";
#endif
    fs::create_directory(unsafe);

    ASSERT_EQ(Backup(Update()), ErrorCode::Success);
    EXPECT_THAT(NamesIn(backups), ElementsAre("20260101_093005", "junction", "nul"));
    EXPECT_EQ(test::ReadFile(outside / "keep.txt"), "keep");
    EXPECT_EQ(capture.EventsWhere("message", "Skipped unsafe stale backup entry").size(), 2u);
    EXPECT_TRUE(capture.HasMessage("Purged 2 stale backup(s)"));
    fs::remove(unsafe);
}

TEST_F(Backups, LinksInTheBackupAreaAreNeitherEmptiedNorWrittenThrough) {
    struct Row {
        const char* name;
        fs::path link;
    };
    const std::vector<Row> rows = {{"backup folder", backupDir}, {"backups folder", backups}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(cache);
        fs::remove_all(outside);
        test::WriteFile(outside / "keep.txt", "keep");
        fs::create_directories(row.link.parent_path());
        if (!test::MakeLink(outside, row.link, test::LinkKind::Folder)) GTEST_SKIP() << test::kNoLinksHere;

        EXPECT_EQ(Backup(Update()), ErrorCode::InvalidArguments);
        EXPECT_TRUE(capture.HasMessage("Refusing unsafe backup path"));
        EXPECT_TRUE(backupId.empty());
        EXPECT_THAT(NamesIn(outside), ElementsAre("keep.txt"));
    }
}

TEST_F(Backups, SecondBackupInTheSameSecondReplacesTheFirst) {
    fs::permissions(target / "sub" / "b.txt", fs::perms::owner_read);  // its saved copy is read-only too
    ASSERT_EQ(Backup(Update()), ErrorCode::Success);
    test::WriteFile(target / "a.txt", "newer-a");
    capture.Clear();
    ASSERT_EQ(Backup(Update()), ErrorCode::Success);
    EXPECT_EQ(backupId, kId);
    EXPECT_TRUE(capture.HasMessage("Purged 1 stale backup(s)"));
    EXPECT_EQ(test::ReadFile(backupDir / "a.txt"), "newer-a");
}

// Nobody may later restore from a backup that does not hold every file.
TEST_F(Backups, BackupThatCannotBeWholeIsNoBackup) {
#ifdef _WIN32
    GTEST_SKIP() << "needs a FIFO and a file-size limit (rlimit), which only Linux has";
#else
    struct Row {
        const char* name;
        std::function<void(Backups&)> prepare;
        bool diskFull;
    };
    const std::vector<Row> rows = {
        {"a file cannot be saved",
         [](Backups& t) {
             fs::remove(t.target / "sub" / "b.txt");
             ASSERT_EQ(::mkfifo((t.target / "sub" / "b.txt").c_str(), 0600), 0);
         },
         false},
        {"the backup manifest cannot be written", [](Backups&) {}, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        row.prepare(*this);
        {
            std::optional<test::FileSizeLimit> full;
            if (row.diskFull) full.emplace(16);
            EXPECT_EQ(Backup(Update()), ErrorCode::FileAccessDenied);
        }
        EXPECT_TRUE(backupId.empty());
        EXPECT_FALSE(fs::exists(backupDir));
    }
#endif
}

TEST_F(Backups, WriteBackupManifestReportsAFileItCannotOpen) {
    fs::create_directories(root / "folder" / "backup_manifest.json");
    EXPECT_EQ(handler.WriteBackupManifest(Update(), root / "missing"), ErrorCode::FileAccessDenied);
    EXPECT_EQ(handler.WriteBackupManifest(Update(), root / "folder"), ErrorCode::FileAccessDenied);
}

TEST_F(Backups, LostPipeAbandonsTheBackupAndKeepsIt) {
    LosePipe();
    EXPECT_EQ(Backup(Update()), ErrorCode::ProgressPipeClosed);
    EXPECT_TRUE(capture.HasMessage("Launcher progress pipe lost during backup; abandoning backup"));
    EXPECT_EQ(backupId, kId);
    EXPECT_TRUE(fs::exists(backupDir / "a.txt"));
    EXPECT_FALSE(fs::exists(backupDir / "sub" / "b.txt"));
}

TEST_F(Backups, RestorePutsBackWhatWasSaved) {
    fs::permissions(target / "sub" / "b.txt", fs::perms::owner_read | fs::perms::group_read);
    const fs::perms savedPermissions = fs::status(target / "sub" / "b.txt").permissions();  // 0444 on Windows
    ASSERT_EQ(Backup(Update()), ErrorCode::Success);
    // The update: a.txt replaced by a read-only file, sub/b.txt removed, c.txt added.
    test::WriteFile(target / "a.txt", "new-a");
    fs::permissions(target / "a.txt", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    // Windows deletes no read-only file.
    fs::permissions(target / "sub" / "b.txt", fs::perms::owner_write, fs::perm_options::add);
    fs::remove_all(target / "sub");
    test::WriteFile(target / "c.txt", "new-c");

    ASSERT_EQ(handler.RestoreBackup(backupId, Wide(target)), ErrorCode::Success);
    EXPECT_EQ(test::ReadFile(target / "a.txt"), "old-a");
    EXPECT_TRUE(test::IsWritable(target / "a.txt"));
    EXPECT_EQ(test::ReadFile(target / "sub" / "b.txt"), "old-b");
    EXPECT_EQ(fs::status(target / "sub" / "b.txt").permissions(), savedPermissions);
    EXPECT_EQ(test::ReadFile(target / "c.txt"), "new-c");
    EXPECT_TRUE(capture.HasMessage("Backup restored successfully"));
    EXPECT_TRUE(fs::exists(backupDir));
}

TEST_F(Backups, RestoreReplacesALinkInsteadOfWritingThroughIt) {
    ASSERT_EQ(Backup(Update()), ErrorCode::Success);
    test::WriteFile(outside / "victim", "victim");
    fs::remove(target / "a.txt");
    if (!test::MakeLink(outside / "victim", target / "a.txt", test::LinkKind::File)) GTEST_SKIP() << test::kNoLinksHere;

    ASSERT_EQ(handler.RestoreBackup(backupId, Wide(target)), ErrorCode::Success);
    EXPECT_EQ(test::ReadFile(outside / "victim"), "victim");
    EXPECT_FALSE(fs::is_symlink(target / "a.txt"));
    EXPECT_EQ(test::ReadFile(target / "a.txt"), "old-a");
}

TEST_F(Backups, RestoreCountsTheFilesItCouldNotPutBack) {
    ASSERT_EQ(Backup(Update()), ErrorCode::Success);
    test::WriteFile(target / "a.txt", "new-a");
    fs::remove(target / "sub" / "b.txt");
    fs::create_directories(target / "sub" / "b.txt" / "in-the-way");

    EXPECT_EQ(handler.RestoreBackup(backupId, Wide(target)), ErrorCode::FileCopyFailed);
    EXPECT_TRUE(capture.HasMessage("Failed to restore 1 file(s) from backup"));
    EXPECT_FALSE(capture.HasMessage("Backup restored successfully"));
    EXPECT_EQ(test::ReadFile(target / "a.txt"), "old-a");
    EXPECT_TRUE(fs::exists(backupDir / "sub" / "b.txt"));
}

TEST_F(Backups, RestoreRefusesWhatItCannotTrust) {
    struct Row {
        const char* name;
        std::wstring id;
        std::function<void(Backups&)> prepare;
        ErrorCode expected;
        std::string message;
    };
    const auto manifestText = [](Backups& t, const std::string& text) {
        test::WriteFile(t.backupDir / "a.txt", "saved-a");
        test::WriteFile(t.backupDir / "backup_manifest.json", text);
    };
    const std::vector<Row> rows = {
        {"ID leaving the backups", L"..\\x", [](Backups&) {}, ErrorCode::InvalidArguments, "Invalid backup ID"},
        {"no such backup", kId, [](Backups&) {}, ErrorCode::FileNotFound, "Backup directory not found: "},
        {"backup is a link", kId,
         [](Backups& t) {
             test::WriteFile(t.outside / "backup_manifest.json", R"({"files": [{"relativePath": "a.txt"}]})");
             test::WriteFile(t.outside / "a.txt", "planted");
             fs::create_directories(t.backups);
             test::MakeLink(t.outside, t.backupDir, test::LinkKind::Folder);  // none under Wine: no backup at all
         },
         ErrorCode::FileNotFound, "Backup directory not found: "},
        {"manifest missing", kId, [](Backups& t) { fs::create_directories(t.backupDir); },
         ErrorCode::FileAccessDenied, ""},
        {"manifest corrupt", kId, [&](Backups& t) { manifestText(t, R"({"files": [)"); },
         ErrorCode::ManifestParseFailed, "Failed to parse backup manifest: "},
        {"no files array", kId, [&](Backups& t) { manifestText(t, R"({"version": "1"})"); },
         ErrorCode::ManifestParseFailed, "Failed to parse backup manifest: "},
        {"escaped NUL", kId, [&](Backups& t) { manifestText(t, R"({"files": [], "version": "1\u0000"})"); },
         ErrorCode::InvalidArguments, "Backup manifest contains an escaped embedded NUL"},
        {"unsafe path after a good one", kId,
         [&](Backups& t) {
             manifestText(t, R"({"files": [{"relativePath": "a.txt"}, {"relativePath": "../a.txt"}]})");
         },
         ErrorCode::InvalidArguments, "Backup manifest contains an unsafe path"},
        {"path not a string", kId,
         [&](Backups& t) { manifestText(t, R"({"files": [{"relativePath": "a.txt"}, {"relativePath": 7}]})"); },
         ErrorCode::InvalidArguments, "Backup manifest contains an unsafe path"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(backups);
        fs::remove_all(outside);
        capture.Clear();
        row.prepare(*this);

        EXPECT_EQ(handler.RestoreBackup(row.id, Wide(target)), row.expected);
        bool logged = row.message.empty();
        for (const Json::Value& event : capture.Events()) {
            logged = logged || event["message"].asString().rfind(row.message, 0) == 0;
        }
        EXPECT_TRUE(logged);
        EXPECT_EQ(test::ReadFile(target / "a.txt"), "old-a");  // nothing was put back
    }
}

TEST_F(Backups, CleanupRemovesOnlyAValidBackup) {
    ASSERT_EQ(Backup(Update()), ErrorCode::Success);
    EXPECT_EQ(handler.CleanupBackup(L"../ZuveloCache"), ErrorCode::InvalidArguments);
    EXPECT_TRUE(fs::exists(backupDir));
    EXPECT_EQ(handler.CleanupBackup(backupId), ErrorCode::Success);
    EXPECT_FALSE(fs::exists(backupDir));
    EXPECT_EQ(handler.CleanupBackup(backupId), ErrorCode::Success);
}

}  // namespace
}  // namespace zuvelo
