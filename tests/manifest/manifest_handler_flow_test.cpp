#ifndef _WIN32
#include <unistd.h>
#endif

#include <fstream>
#include <functional>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/manifest/apply_fixture.h"
#include "tests/support/absolute_paths.h"

namespace zuvelo {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::ServerFault;
using test::WriteFile;
using ::testing::ElementsAre;

constexpr const char* kRollbackFailed = "Rollback failed - system may be in inconsistent state";
constexpr const char* kLauncherGone =
    "Launcher disconnected; leaving files in place for the next attempt instead of rolling back";

bool IsReadOnly(const fs::path& file) {
    constexpr fs::perms kWrite = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    return (fs::status(file).permissions() & kWrite) == fs::perms::none;
}

std::vector<fs::path> FilesBelow(const fs::path& folder) {
    std::vector<fs::path> files;
    if (!fs::exists(folder)) return files;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) files.push_back(fs::relative(entry.path(), folder));
    }
    return files;
}

void Overwrite(const fs::path& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << bytes;
}

class ManifestApply : public test::ServedReleaseFixture {
protected:
    ErrorCode Apply() { return Handler()->ApplyManifest(ManifestUrl(), WidePath(target)); }

    // (status, files_processed or -1) of every manifest event, in order.
    std::vector<std::pair<std::string, int64_t>> ManifestEvents() const {
        std::vector<std::pair<std::string, int64_t>> events;
        for (const Json::Value& event : StatusEvents("manifest_processing")) {
            events.emplace_back(event["status"].asString(), event.get("files_processed", -1).asInt64());
        }
        return events;
    }
    fs::path Cached(const ManifestFileEntry& entry) const {
        return cacheDir / entry.sha256.substr(0, 8) / entry.sha256;
    }
    std::vector<fs::path> Backups() const {
        std::vector<fs::path> found;
        if (!fs::exists(cacheDir / "backups")) return found;
        for (const auto& entry : fs::directory_iterator(cacheDir / "backups")) found.push_back(entry.path());
        return found;
    }
    // An older installation and an update that fails while installing its last file.
    void UpdateThatFailsWhileInstalling() {
        WriteFile(target / "a.txt", "old a");
        WriteFile(target / "sub/b.txt", "old b");
        test::MakeFolder(target / "z.txt" / "in the way");
        AddFile("a.txt", "new a");
        AddFile("sub/b.txt", "new b");
        AddFile("z.txt", "new z");
        Publish();
    }
    void ExpectOlderInstallation() const {
        EXPECT_EQ(ReadFile(target / "a.txt"), "old a");
        EXPECT_EQ(ReadFile(target / "sub/b.txt"), "old b");
    }
};

TEST_F(ManifestApply, FreshInstallThenSameUpdateFromTheCache) {
    Json::Value readOnly(Json::objectValue);
    readOnly["permissions"] = "444";
    Json::Value optional(Json::objectValue);
    optional["isRequired"] = false;
    const ManifestFileEntry app = AddFile("bin/app.dll", "application");
    const ManifestFileEntry data = AddFile("data/deep/pack.dat", std::string(300000, 'p'));
    const ManifestFileEntry config = AddFile("config.ini", "frozen", readOnly);
    const ManifestFileEntry extra = AddFile("extras/hd.pak", "optional", optional);
    Publish();

    ASSERT_EQ(Apply(), ErrorCode::Success);
    EXPECT_THAT(ManifestEvents(), ElementsAre(std::pair<std::string, int64_t>{"starting", -1},
                                              std::pair<std::string, int64_t>{"completed", 4}));
    EXPECT_EQ(ReadFile(target / "bin/app.dll"), "application");
    EXPECT_EQ(ReadFile(target / "data/deep/pack.dat"), std::string(300000, 'p'));
    EXPECT_TRUE(IsReadOnly(target / "config.ini"));
    EXPECT_FALSE(fs::exists(target / "extras"));
    EXPECT_TRUE(RequestsFor(RequestPath(extra)).empty());
    // The cache holds the files by content and nothing else is left behind.
    std::vector<fs::path> cached = FilesBelow(cacheDir);
    std::sort(cached.begin(), cached.end());
    std::vector<fs::path> expected;
    for (const ManifestFileEntry& entry : {app, data, config}) expected.push_back(fs::relative(Cached(entry), cacheDir));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(cached, expected);
    for (const auto& entry : fs::directory_iterator(cacheDir)) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "backups" || name.size() == 8) << name;
    }
    EXPECT_TRUE(Backups().empty());

    server.ClearRequests();
    ASSERT_EQ(Apply(), ErrorCode::Success);
    EXPECT_EQ(FileRequests(), 0u);
    EXPECT_TRUE(log.HasMessage("Using cached file: bin/app.dll"));
    EXPECT_TRUE(IsReadOnly(target / "config.ini"));
}

TEST_F(ManifestApply, AssetDialect) {
    document = test::AssetDocument();
    document["assets"] = Json::Value(Json::arrayValue);
    const std::string bytes = "asset bytes";
    Json::Value asset = test::Asset("game/main.pak", bytes.size(), test::Sha256Of(bytes));
    asset["fullReference"]["url"] = server.Url("/full/game/main.pak");
    document["assets"].append(asset);
    WriteFile(content / "full/game/main.pak", bytes);
    WriteFile(content / "manifest.json", test::ToText(document));
    ASSERT_EQ(Apply(), ErrorCode::Success);
    EXPECT_EQ(ReadFile(target / "game/main.pak"), bytes);
}

TEST_F(ManifestApply, ManifestFailures) {
    struct Row {
        const char* name;
        std::function<void()> prepare;
        ErrorCode expected;
        const char* status;
    };
    AddFile("a.txt", "a");
    const std::vector<Row> rows = {
        {"not served", [&] { server.SetFault("/manifest.json", ServerFault::Status(404)); }, ErrorCode::HttpError,
         "download_failed"},
        {"not JSON", [&] { WriteFile(content / "manifest.json", "<html>"); }, ErrorCode::ManifestParseFailed,
         "download_failed"},
        {"signed by nobody trusted",
         [&] {
             Publish();
             Json::Value tampered = test::ParseJson(ReadFile(content / "manifest.json"));
             tampered["version"] = "9.9.9";
             WriteFile(content / "manifest.json", test::ToText(tampered));
         },
         ErrorCode::ManifestSignatureInvalid, "validation_failed"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        log.Clear();
        server.ClearFaults();
        row.prepare();
        EXPECT_EQ(Apply(), row.expected);
        EXPECT_THAT(ManifestEvents(), ElementsAre(std::pair<std::string, int64_t>{"starting", -1},
                                                  std::pair<std::string, int64_t>{row.status, -1}));
        EXPECT_FALSE(fs::exists(target));
        EXPECT_TRUE(Backups().empty());
    }
}

// A target that is relative or a root folder is refused before anything is downloaded.
TEST_F(ManifestApply, TargetMustBeAnAbsoluteFolder) {
    AddFile("a.txt", "a");
    Publish();
    for (const std::wstring& path : {std::wstring(L"relative/install"), test::AbsolutePath(L"/"),
                                     test::AbsolutePath(L"/tmp/..")}) {
        SCOPED_TRACE(WideToUtf8(path));
        log.Clear();
        EXPECT_EQ(Handler()->ApplyManifest(ManifestUrl(), path), ErrorCode::InvalidArguments);
        EXPECT_TRUE(log.HasMessage("Invalid target path: " + WideToUtf8(path)));
        EXPECT_TRUE(server.Requests().empty());
    }
}

// Room for the release as it will stand, plus its largest file staged beside the
// one it replaces: one byte less and nothing is changed, not even a backup made.
TEST_F(ManifestApply, ReleaseThatDoesNotFitChangesNothing) {
    WriteFile(target / "a.txt", std::string(1000, 'o'));
    AddFile("a.txt", std::string(3000, 'n'));
    AddFile("b.txt", std::string(500, 'b'));
    Publish();
    const uint64_t needed = (3000 - 1000) + 500 + 3000;
    for (const bool fits : {false, true}) {
        SCOPED_TRACE(fits ? "fits" : "one byte short");
        log.Clear();
        system->freeBytes = fits ? needed : needed - 1;
        EXPECT_EQ(Apply(), fits ? ErrorCode::Success : ErrorCode::InsufficientDiskSpace);
        EXPECT_EQ(system->freeSpaceFolder, target);
        EXPECT_EQ(ReadFile(target / "a.txt"), std::string(fits ? 3000 : 1000, fits ? 'n' : 'o'));
        EXPECT_EQ(fs::exists(target / "b.txt"), fits);
        EXPECT_THAT(ManifestEvents(),
                    ElementsAre(std::pair<std::string, int64_t>{"starting", -1},
                                std::pair<std::string, int64_t>{fits ? "completed" : "processing_failed", 2}));
        EXPECT_TRUE(Backups().empty());
    }
}

TEST_F(ManifestApply, FileNotServed) {
    const ManifestFileEntry entry = AddFile("a.txt", "a");
    Publish();
    fs::remove(ServedPath(entry));
    EXPECT_EQ(Apply(), ErrorCode::DownloadFailed);
    EXPECT_THAT(ManifestEvents(), ElementsAre(std::pair<std::string, int64_t>{"starting", -1},
                                              std::pair<std::string, int64_t>{"processing_failed", 1}));
    EXPECT_EQ(sleeps.size(), 2u);
}

// Nobody can block updates by making the cache's name first: the run uses a
// fresh private folder of its own, removed when it ends.
TEST_F(ManifestApply, RefusedCacheFolderIsReplacedForTheRun) {
    AddFile("a.txt", "a");
    Publish();
    const fs::path elsewhere = test::MakeFolder(temp / "elsewhere");
    const std::vector<std::pair<const char*, std::function<void()>>> rows = {
        {"link", [&] { test::MakeLink(elsewhere, cacheDir, test::LinkKind::Folder); }},
#ifndef _WIN32  // owners: Linux's
        {"another user's folder",
         [&] {
             fs::create_directory(cacheDir);
             ASSERT_EQ(::chown(cacheDir.c_str(), 65534, 65534), 0);
         }},
#endif
    };
    for (const auto& [name, plant] : rows) {
        SCOPED_TRACE(name);
        fs::remove_all(target);
        ASSERT_NO_FATAL_FAILURE(plant());  // an ASSERT inside the lambda only leaves the lambda
        if (!fs::exists(fs::symlink_status(cacheDir))) GTEST_SKIP() << test::kNoLinksHere;
        log.Clear();
        EXPECT_EQ(Apply(), ErrorCode::Success);
        EXPECT_EQ(ReadFile(target / "a.txt"), "a");
        EXPECT_TRUE(log.HasMessageStarting("Refusing cache folder " + cacheDir.string()));
        EXPECT_TRUE(fs::is_empty(elsewhere));
        fs::remove(cacheDir);
        // The fresh folder went with the run.
        for (const auto& entry : fs::directory_iterator(temp.path())) {
            EXPECT_FALSE(entry.path().filename().string().starts_with("ZuveloCache")) << entry.path();
        }
    }
}

TEST_F(ManifestApply, FailedInstallIsRolledBack) {
    UpdateThatFailsWhileInstalling();
    const ErrorCode result = Apply();
    EXPECT_NE(result, ErrorCode::Success);
    EXPECT_TRUE(log.HasMessage("Failed to process manifest files"));
    EXPECT_TRUE(log.HasMessage("Attempting rollback..."));
    EXPECT_FALSE(log.HasMessage(kRollbackFailed));
    ExpectOlderInstallation();
    EXPECT_THAT(ManifestEvents(), ElementsAre(std::pair<std::string, int64_t>{"starting", -1},
                                              std::pair<std::string, int64_t>{"processing_failed", 3}));
    EXPECT_EQ(Backups().size(), 1u);  // kept for the next attempt, which purges it
}

// The installed copy is checked against the manifest: a cache file that changes
// after it was verified is caught while it is copied.
// The cache install checks the staged copy's size only (the cache is the run's own and
// was just verified), so the file changed behind its back here is one of another size.
TEST_F(ManifestApply, InstalledCopyNotMatchingTheManifestIsRolledBack) {
    WriteFile(target / "a.txt", "old a");
    const ManifestFileEntry entry = AddFile("a.txt", "new a");
    Publish();
    log.onLine = [&](const std::string& line) {
        if (line.find("All files verified successfully") != std::string::npos) Overwrite(Cached(entry), "bad a!");
    };
    EXPECT_EQ(Apply(), ErrorCode::FileHashMismatch);
    EXPECT_TRUE(log.HasMessage("Attempting rollback..."));
    EXPECT_EQ(ReadFile(target / "a.txt"), "old a");
    EXPECT_EQ(ManifestEvents().back().first, "processing_failed");
}

TEST_F(ManifestApply, WithoutABackupNothingIsRolledBack) {
    UpdateThatFailsWhileInstalling();
    WriteFile(cacheDir / "backups", "a file where the backups belong");
    fs::permissions(cacheDir, fs::perms::owner_all, fs::perm_options::replace);
    EXPECT_NE(Apply(), ErrorCode::Success);
    EXPECT_TRUE(log.HasMessage("Failed to create backup, continuing without backup"));
    EXPECT_FALSE(log.HasMessage("Attempting rollback..."));
    EXPECT_FALSE(log.HasMessage(kRollbackFailed));
    EXPECT_EQ(ManifestEvents().back().first, "processing_failed");
}

TEST_F(ManifestApply, FailedRollbackKeepsTheInstallationsCode) {
    UpdateThatFailsWhileInstalling();
    log.onLine = [&](const std::string& line) {
        if (line.find("Backup created with ID: ") == std::string::npos) return;
        for (const fs::path& backup : Backups()) Overwrite(backup / "backup_manifest.json", "{ corrupt");
    };
    const ErrorCode result = Apply();
    EXPECT_NE(result, ErrorCode::Success);
    EXPECT_NE(result, ErrorCode::ManifestParseFailed);
    EXPECT_TRUE(log.HasMessage(kRollbackFailed));
    EXPECT_EQ(ManifestEvents().back().first, "processing_failed");
}

TEST_F(ManifestApply, LostLauncherLeavesEverythingForTheNextAttempt) {
    WriteFile(target / "a.txt", "old a");
    AddFile("a.txt", "new a");
    AddFile("b.txt", "new b");
    Publish();
    LoseLauncherPipe();
    EXPECT_EQ(Apply(), ErrorCode::ProgressPipeClosed);
    EXPECT_TRUE(log.HasMessage(kLauncherGone));
    EXPECT_FALSE(log.HasMessage("Attempting rollback..."));
    EXPECT_EQ(Backups().size(), 1u);
    EXPECT_EQ(ReadFile(target / "a.txt"), "old a");
    EXPECT_EQ(ManifestEvents().back().first, "processing_failed");
}

class PreparedSessionApply : public ManifestApply {
protected:
    ErrorCode ApplySession() {
        return Handler()->ApplyPreparedSession(ManifestUrl(), WidePath(target), WidePath(session),
                                               WidePath(descriptor));
    }
    void Describe(const Json::Value& files) {
        Json::Value root(Json::objectValue);
        root["files"] = files;
        WriteFile(descriptor, test::ToText(root));
    }
    Json::Value Element(const std::string& file, const fs::path& path) {
        Json::Value element(Json::objectValue);
        element["file"] = file;
        element["path"] = path.string();
        return element;
    }

    fs::path session = test::MakeFolder(temp / "session");
    fs::path descriptor = temp / "session-files.json";
};

TEST_F(PreparedSessionApply, DescriptorFaultsStopBeforeAnyChange) {
    struct Row {
        const char* name;
        std::string text;
        const char* message;
    };
    const std::vector<Row> rows = {
        {"unsafe path", R"({"files":[{"file":"../escape.txt","path":"x"}]})",
         "Prepared-session descriptor contains an unsafe relative path"},
        {"escaped NUL", R"({"files":[{"file":"a\u0000.txt","path":"x"}]})",
         "Prepared-session descriptor contains an escaped embedded NUL"},
    };
    WriteFile(target / "a.txt", "old a");
    AddFile("a.txt", "new a");
    Publish();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        log.Clear();
        WriteFile(descriptor, row.text);
        EXPECT_EQ(ApplySession(), ErrorCode::InvalidArguments);
        EXPECT_TRUE(log.HasMessage(row.message));
        EXPECT_THAT(ManifestEvents(), ElementsAre(std::pair<std::string, int64_t>{"starting", -1}));
        EXPECT_TRUE(Backups().empty());
        EXPECT_EQ(ReadFile(target / "a.txt"), "old a");
    }
}

TEST_F(PreparedSessionApply, InstallsFromTheSessionAndBacksUpOnlyItsFiles) {
    WriteFile(target / "a.txt", "old a");
    WriteFile(target / "same.txt", "same");
    AddFile("a.txt", "new a");
    AddFile("same.txt", "same");
    Publish();
    WriteFile(session / "a.txt", "new a");
    Json::Value files(Json::arrayValue);
    files.append(Element("a.txt", session / "a.txt"));
    Describe(files);
    ASSERT_EQ(ApplySession(), ErrorCode::Success);
    EXPECT_EQ(ReadFile(target / "a.txt"), "new a");
    EXPECT_EQ(FileRequests(), 0u);
    EXPECT_TRUE(log.HasMessage("Manifest applied successfully from prepared session"));
    EXPECT_EQ(ManifestEvents().back(), (std::pair<std::string, int64_t>{"completed", 2}));
}

TEST_F(PreparedSessionApply, MissingDescriptorStillBacksUpAndFailsLater) {
    WriteFile(target / "a.txt", "old a");
    AddFile("a.txt", "new a");
    Publish();
    EXPECT_EQ(ApplySession(), ErrorCode::FileNotFound);
    EXPECT_TRUE(log.HasMessage("Failed to process prepared session files"));
    EXPECT_EQ(ManifestEvents().back(), (std::pair<std::string, int64_t>{"processing_failed", 1}));
    EXPECT_EQ(ReadFile(target / "a.txt"), "old a");
}

TEST_F(PreparedSessionApply, LostLauncherDuringBackupStopsWithoutAnEvent) {
    WriteFile(target / "a.txt", "old a");
    AddFile("a.txt", "new a");
    Publish();
    WriteFile(session / "a.txt", "new a");
    Json::Value files(Json::arrayValue);
    files.append(Element("a.txt", session / "a.txt"));
    Describe(files);
    LoseLauncherPipe();
    EXPECT_EQ(ApplySession(), ErrorCode::ProgressPipeClosed);
    EXPECT_TRUE(log.HasMessage("Launcher progress pipe lost during backup; abandoning installation"));
    EXPECT_THAT(ManifestEvents(), ElementsAre(std::pair<std::string, int64_t>{"starting", -1}));
    EXPECT_EQ(ReadFile(target / "a.txt"), "old a");
}

}  // namespace
}  // namespace zuvelo
