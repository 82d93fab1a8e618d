#include <gtest/gtest.h>

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

}  // namespace
}  // namespace zuvelo
