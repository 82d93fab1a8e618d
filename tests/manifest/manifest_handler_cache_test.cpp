#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/handles.h"
#include "tests/manifest/apply_fixture.h"

namespace zuvelo {
namespace {

namespace fs = std::filesystem;
using test::EntryFor;
using test::ReadFile;
using test::WriteFile;

void SetAge(const fs::path& file, std::chrono::system_clock::time_point now, std::chrono::seconds age) {
    const auto written = std::chrono::file_clock::from_sys(now - age);
    fs::last_write_time(file, std::chrono::time_point_cast<fs::file_time_type::duration>(written));
}

class ManifestCache : public test::HandlerFixture {
protected:
    ManifestCache() {
        fs::create_directory(cacheDir);
        fs::permissions(cacheDir, fs::perms::owner_all, fs::perm_options::replace);
    }
    fs::path Cached(const std::string& bytes) const {
        const std::string sha = test::Sha256Of(bytes);
        return cacheDir / sha.substr(0, 8) / sha;
    }
};

TEST_F(ManifestCache, GetCachePathNeedsAFile) {
    const std::string sha = test::Sha256Of("cached");
    fs::path path;
    const auto handler = Handler();
    EXPECT_EQ(handler->GetCachePath(sha, path), ErrorCode::FileNotFound);
    EXPECT_EQ(path, Cached("cached"));
    fs::create_directories(path);
    EXPECT_EQ(handler->GetCachePath(sha, path), ErrorCode::FileNotFound);
    fs::remove(path);
    WriteFile(path, "cached");
    EXPECT_EQ(handler->GetCachePath(sha, path), ErrorCode::Success);
    EXPECT_THROW(handler->GetCachePath(std::string("ab\0cd", 5) + sha, path), std::invalid_argument);
}

TEST_F(ManifestCache, StoreKeepsTheVerifiedBytesUnderTheirHash) {
    const fs::path downloaded = cacheDir / "sub" / "file.bin.tmp";
    WriteFile(downloaded, "payload");
    SetAge(downloaded, now, std::chrono::hours(1));
    const auto writtenAt = fs::last_write_time(downloaded);
    WriteFile(Cached("payload"), "old stale bytes");
    ASSERT_EQ(Handler()->StoreInCache(downloaded, test::Sha256Of("payload")), ErrorCode::Success);
    EXPECT_EQ(ReadFile(Cached("payload")), "payload");
    EXPECT_EQ(fs::last_write_time(Cached("payload")), writtenAt);
}

TEST_F(ManifestCache, ExpiryDropsOldFilesButNotBackups) {
    using std::chrono::hours;
    using std::chrono::seconds;
    WriteFile(Cached("old"), "old");
    WriteFile(Cached("recent"), "recent");
    const fs::path saved = cacheDir / "backups" / "20260101_093005" / "bin" / "app.dll";
    WriteFile(saved, "an original from long ago");
    SetAge(Cached("old"), now, hours(24) + seconds(1));
    SetAge(Cached("recent"), now, hours(23));
    SetAge(saved, now, hours(24 * 400));
    ASSERT_EQ(Handler()->CleanupExpiredCache(), ErrorCode::Success);
    EXPECT_FALSE(fs::exists(Cached("old")));
    EXPECT_TRUE(fs::is_directory(Cached("old").parent_path()));
    EXPECT_TRUE(fs::exists(Cached("recent")));
    EXPECT_TRUE(fs::exists(saved));
}

TEST_F(ManifestCache, DestructionRemovesPartialDownloadsEverywhereButBackups) {
    WriteFile(cacheDir / "manifest.json.tmp", "{");
    WriteFile(cacheDir / "bin" / "deep" / "app.dll.tmp", "part");
    WriteFile(cacheDir / "data" / "keep.txt", "not a download");
    WriteFile(cacheDir / "data" / "pack.dat.tmp", "part");
    WriteFile(cacheDir / "backups" / "20260101_093005" / "notes.tmp", "a saved file");
    WriteFile(Cached("kept"), "kept");
    const fs::path elsewhere = temp / "elsewhere";  // behind a link: never looked into
    WriteFile(elsewhere / "victim.tmp", "not the cache's");
    test::MakeLink(elsewhere, cacheDir / "linked", test::LinkKind::Folder);  // none under Wine
    test::MakeLink(elsewhere, cacheDir / "junction", test::LinkKind::Junction);  // only Windows makes these
    Handler().reset();
    EXPECT_TRUE(fs::exists(elsewhere / "victim.tmp"));
    EXPECT_FALSE(fs::exists(cacheDir / "manifest.json.tmp"));
    EXPECT_FALSE(fs::exists(cacheDir / "bin"));
    EXPECT_FALSE(fs::exists(cacheDir / "data" / "pack.dat.tmp"));
    EXPECT_TRUE(fs::exists(cacheDir / "data" / "keep.txt"));
    EXPECT_TRUE(fs::exists(cacheDir / "backups" / "20260101_093005" / "notes.tmp"));
    EXPECT_TRUE(fs::exists(Cached("kept")));
}

// The cache lies in a folder everybody can write to: only a private folder of
// this user is used, and a refused one is neither read nor written.
class ManifestCacheFolder : public test::HandlerFixture {
protected:
    ErrorCode FetchManifest() {
        UpdateManifest manifest;
        return Handler()->DownloadManifest(L"https://127.0.0.1:9/manifest.json", manifest);
    }
};

TEST_F(ManifestCacheFolder, CreatedPrivate) {
#ifdef _WIN32
    GTEST_SKIP() << "checks Linux mode bits and owner (lstat, geteuid)";
#else
    EXPECT_EQ(Handler()->Initialize(), ErrorCode::Success);
    struct stat st {};
    ASSERT_EQ(::lstat(cacheDir.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(st.st_uid, ::geteuid());
#endif
}

TEST_F(ManifestCacheFolder, RefusedFolders) {
    struct Row {
        const char* name;
        std::function<void()> plant;
        bool needsRoot;
    };
    const fs::path elsewhere = test::MakeFolder(temp / "elsewhere");
    const std::vector<Row> rows = {
        {"link to a folder", [&] { test::MakeLink(elsewhere, cacheDir, test::LinkKind::Folder); }, false},
        {"file", [&] { WriteFile(cacheDir, "not a folder"); }, false},
#ifndef _WIN32  // owners and mode bits: Linux's
        {"another user's folder",
         [&] {
             fs::create_directory(cacheDir);
             ASSERT_EQ(::chown(cacheDir.c_str(), 65534, 65534), 0);
         },
         true},
        {"writable by everyone",
         [&] {
             fs::create_directory(cacheDir);
             fs::permissions(cacheDir, fs::perms::all, fs::perm_options::replace);
         },
         false},
#endif
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
#ifndef _WIN32
        if (row.needsRoot && ::geteuid() != 0) continue;
#endif
        row.plant();
        if (!fs::exists(fs::symlink_status(cacheDir))) continue;  // no link made: Wine makes none
        // Leftovers a cleanup would remove, if it worked in the folder.
        platform::HandleInfo planted;  // never through a link, which the C++ library follows on Windows
        const bool realFolder = platform::QueryPathInfo(cacheDir, false, planted) == 0 && planted.IsDirectory();
        if (realFolder) WriteFile(cacheDir / "planted.tmp", "x");
        log.Clear();
        EXPECT_EQ(FetchManifest(), ErrorCode::DirectoryCreateFailed);
        EXPECT_THAT(log.EventsWhere("level", "ERROR"),
                    ::testing::Contains(::testing::Truly([](const Json::Value& e) {
                        return e["message"].asString().starts_with("Refusing cache folder ");
                    })));
        if (realFolder) {
            EXPECT_TRUE(fs::exists(cacheDir / "planted.tmp"));
            EXPECT_FALSE(fs::exists(cacheDir / "manifest.json.tmp"));
            fs::remove(cacheDir / "planted.tmp");
        }
        EXPECT_TRUE(fs::is_empty(elsewhere));
        fs::remove(cacheDir);
    }
}

TEST_F(ManifestCacheFolder, InitializeOnlyWarns) {
    WriteFile(temp / "blocker", "not a folder");
    cacheDir = temp / "blocker" / "ZuveloCache";
    EXPECT_EQ(Handler()->Initialize(), ErrorCode::Success);
    EXPECT_TRUE(log.HasMessage("Failed to create cache directory: " + cacheDir.string()));
}

}  // namespace
}  // namespace zuvelo
