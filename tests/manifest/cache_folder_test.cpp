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
using test::WriteFile;

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
