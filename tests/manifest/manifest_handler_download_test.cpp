#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "manifest/manifest_rules.h"
#include "tests/manifest/apply_fixture.h"

namespace zuvelo {
namespace {

namespace fs = std::filesystem;
using test::EntryFor;
using test::ReadFile;
using test::ServerFault;
using test::ServerFaultKind;
using test::WriteFile;
using test::TemporaryFiles;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;

std::string Pattern(size_t size, char seed = 'a') {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(seed + (i * 7 + i / 251) % 26);
    return bytes;
}

TEST(ManifestFileUrl, Rule) {
    ManifestFileEntry entry = EntryFor("bin/app.dll", "x");
    const std::string h8 = entry.sha256.substr(0, 8);
    struct Row {
        const char* base;
        const char* downloadUrl;
        std::string expected;
        std::string written{};  // the hash as a manifest spelled it; empty: as parsed
    };
    const std::vector<Row> rows = {
        {"https://cdn.example/b", "", "https://cdn.example/b/files/" + h8 + "/bin/app.dll"},
        {"https://cdn.example/b/", "", "https://cdn.example/b/files/" + h8 + "/bin/app.dll"},
        {"", "", "files/" + h8 + "/bin/app.dll"},
        {"https://cdn.example/b", "https://other.example/app.dll", "https://other.example/app.dll"},
        // A case-sensitive server knows the folder by the publisher's spelling.
        {"https://cdn.example/b", "", "https://cdn.example/b/files/ABCDEF12/bin/app.dll", "ABCDEF12" + std::string(56, 'A')},
    };
    for (const Row& row : rows) {
        entry.downloadUrl = row.downloadUrl;
        entry.sha256AsWritten = row.written;
        std::wstring url;
        EXPECT_EQ(ManifestHandler::BuildFileUrl(entry, row.base, url), ErrorCode::Success);
        EXPECT_EQ(url, test::Wide(row.expected));
    }
}

class ManifestDownload : public test::ServedReleaseFixture {
protected:
    ManifestDownload() { fs::create_directories(cacheDir); }

    ErrorCode Retry(const ManifestFileEntry& entry, const fs::path& dest) {
        return Handler()->DownloadFile(entry, dest, server.Url("/"));
    }
    std::vector<std::string> RangesSent(const ManifestFileEntry& entry) const {
        std::vector<std::string> ranges;
        for (const test::ServerRequest& request : RequestsFor(RequestPath(entry))) {
            ranges.push_back(request.Header("range"));
        }
        return ranges;
    }

    fs::path dest = temp / "dl" / "file.bin.tmp";
};

TEST_F(ManifestDownload, ManifestBaseUrlElseCdnRoot) {
    const ManifestFileEntry entry = AddFile("bin/app.dll", "app");
    ASSERT_EQ(Handler(test::Wide(server.Url("/")))->DownloadFile(entry, dest, ""), ErrorCode::Success);
    ASSERT_EQ(Handler(L"https://cdn.invalid")->DownloadFile(entry, dest, server.Url("")), ErrorCode::Success);
    EXPECT_EQ(RequestsFor(RequestPath(entry)).size(), 2u);
    EXPECT_EQ(ReadFile(dest), "app");
}

TEST_F(ManifestDownload, WrongHashEveryTimeGivesUpAfterThreeAttempts) {
    const ManifestFileEntry entry = AddFile("a.bin", "right");
    WriteFile(ServedPath(entry), "wrong");
    EXPECT_EQ(Retry(entry, dest), ErrorCode::DownloadFailed);
    EXPECT_EQ(RequestsFor(RequestPath(entry)).size(), 3u);
    EXPECT_THAT(sleeps, ElementsAre(test::milliseconds(1000), test::milliseconds(1000)));
    EXPECT_EQ(log.EventsWhere("message", "Hash verification failed, retrying...").size(), 3u);
    EXPECT_TRUE(log.HasMessage("Download failed after 3 attempts"));
    EXPECT_FALSE(fs::exists(dest));
}

// The digest taken while receiving is checked with the messages of a check that
// reads the file, in the same order, for fresh and resumed files.
TEST_F(ManifestDownload, WrongHashWritesTheIntegrityCheckMessages) {
    const std::string right = Pattern(50000);
    std::string wrong = right;
    wrong.back() = '#';
    const ManifestFileEntry entry = AddFile("a.bin", right);
    WriteFile(ServedPath(entry), wrong);
    const std::string path = dest.string();
    const std::vector<std::string> expected = {
        "Verifying file integrity: " + path,
        "Hash mismatch. Expected: " + entry.sha256 + ", Actual: " + test::Sha256Of(wrong),
        "Hash verification failed, retrying..."};
    server.SetFault(RequestPath(entry), ServerFault::Bytes(ServerFaultKind::DropAfter, 20000));
    onSleep = [&](size_t) { server.ClearFaults(); };
    std::vector<std::string> seen;
    log.onLine = [&](const std::string& line) {
        const std::string message = test::ParseJson(line)["message"].asString();
        if (std::find(expected.begin(), expected.end(), message) != expected.end()) seen.push_back(message);
    };

    EXPECT_EQ(Retry(entry, dest), ErrorCode::DownloadFailed);
    log.onLine = nullptr;

    // The first attempt is cut short; the resumed second and the third each fail the check.
    std::vector<std::string> twice = expected;
    twice.insert(twice.end(), expected.begin(), expected.end());
    EXPECT_EQ(seen, twice);
    EXPECT_THAT(RangesSent(entry), ElementsAre("", ::testing::StartsWith("bytes="), ""));
}

TEST_F(ManifestDownload, WrongOnceThenRight) {
    const ManifestFileEntry entry = AddFile("a.bin", "right");
    WriteFile(ServedPath(entry), "wrong");
    onSleep = [&](size_t) { WriteFile(ServedPath(entry), "right"); };
    EXPECT_EQ(Retry(entry, dest), ErrorCode::Success);
    EXPECT_EQ(ReadFile(dest), "right");
    // The bad copy was removed, so the second attempt asked for the whole file.
    EXPECT_THAT(RangesSent(entry), ElementsAre("", ""));
}

TEST_F(ManifestDownload, CutShortThenResumedFromTheSecondAttempt) {
    const std::string bytes = Pattern(200000);
    const ManifestFileEntry entry = AddFile("big.bin", bytes);
    server.SetFault(RequestPath(entry), ServerFault::Bytes(ServerFaultKind::DropAfter, 70000));
    onSleep = [&](size_t) { server.ClearFaults(); };
    ASSERT_EQ(Retry(entry, dest), ErrorCode::Success);
    EXPECT_EQ(ReadFile(dest), bytes);
    const std::vector<std::string> ranges = RangesSent(entry);
    ASSERT_EQ(ranges.size(), 2u);
    EXPECT_EQ(ranges[0], "");
    EXPECT_THAT(ranges[1], ::testing::AllOf(::testing::StartsWith("bytes="), ::testing::EndsWith("-")));
    EXPECT_GT(std::stoull(ranges[1].substr(6)), 0u) << ranges[1];
}

// A server that will not continue a file must not make every later attempt fail too.
TEST_F(ManifestDownload, RefusedResumeStartsAfresh) {
    const std::string bytes = Pattern(100000);
    const ManifestFileEntry entry = AddFile("r.bin", bytes);
    server.SetFault(RequestPath(entry), ServerFault::Bytes(ServerFaultKind::DropAfter, 30000));
    onSleep = [&](size_t pause) {
        if (pause == 1) server.SetFault(RequestPath(entry), ServerFault::Status(416));
        if (pause == 2) server.ClearFaults();
    };
    ASSERT_EQ(Retry(entry, dest), ErrorCode::Success);
    EXPECT_EQ(ReadFile(dest), bytes);
    const std::vector<std::string> ranges = RangesSent(entry);
    ASSERT_EQ(ranges.size(), 3u);
    EXPECT_NE(ranges[1], "");
    EXPECT_EQ(ranges[2], "");
}

// A partial file that already has the whole size cannot be continued: it is
// accepted when it is right and thrown away otherwise.
TEST_F(ManifestDownload, PartialFileOfFullSizeIsVerifiedOrDeleted) {
    struct Row {
        const char* name;
        std::string partial;
        size_t requests;
    };
    const std::string bytes = Pattern(5000);
    const ManifestFileEntry entry = AddFile("p.bin", bytes);
    for (const Row& row : {Row{"complete and right", bytes, 1}, Row{"full size, wrong", Pattern(5000, 'b'), 2},
                           Row{"too long", bytes + "tail", 2}}) {
        SCOPED_TRACE(row.name);
        server.ClearRequests();
        // The first attempt fails before it touches the file; the second would resume.
        server.SetFault(RequestPath(entry), ServerFault::Status(503));
        onSleep = [&](size_t) { server.ClearFaults(); };
        WriteFile(dest, row.partial);
        ASSERT_EQ(Retry(entry, dest), ErrorCode::Success);
        EXPECT_EQ(ReadFile(dest), bytes);
        const std::vector<std::string> ranges = RangesSent(entry);
        ASSERT_EQ(ranges.size(), row.requests);
        if (row.requests == 2) {
            EXPECT_EQ(ranges[1], "");
        }
    }
}

TEST_F(ManifestDownload, ManifestFailures) {
    UpdateManifest manifest;
    {
        const auto handler = Handler();
        server.SetFault("/manifest.json", ServerFault::Status(404));
        EXPECT_EQ(handler->DownloadManifest(ManifestUrl(), manifest), ErrorCode::HttpError);
        EXPECT_TRUE(log.HasMessage("Failed to download manifest"));
        server.ClearFaults();
        // Up to the cap the text is fetched and read; past it the download stops, announced or not.
        test::WriteZeroFile(content / "manifest.json", kMaxManifestBytes);
        EXPECT_EQ(handler->DownloadManifest(ManifestUrl(), manifest), ErrorCode::ManifestParseFailed);
        EXPECT_TRUE(log.HasMessage("Manifest JSON contains an embedded NUL"));
        test::WriteZeroFile(content / "manifest.json", kMaxManifestBytes + 1);
        for (const ServerFault& fault : {ServerFault{}, ServerFault::Of(ServerFaultKind::Chunked)}) {
            server.SetFault("/manifest.json", fault);
            log.Clear();
            EXPECT_EQ(handler->DownloadManifest(ManifestUrl(), manifest), ErrorCode::ManifestParseFailed);
            EXPECT_TRUE(log.HasMessage("Manifest is larger than 33554432 bytes"));
            EXPECT_FALSE(log.HasMessage("Failed to download manifest"));
        }
        server.ClearFaults();
        // Text that does not parse stays until the handler goes.
        WriteFile(content / "manifest.json", "{ not json");
        EXPECT_EQ(handler->DownloadManifest(ManifestUrl(), manifest), ErrorCode::ManifestParseFailed);
        EXPECT_THAT(TemporaryFiles(cacheDir, "manifest.json."), SizeIs(1));
    }
    EXPECT_THAT(TemporaryFiles(cacheDir, "manifest.json."), IsEmpty());
}

TEST_F(ManifestDownload, ManifestIsParsedAndItsFileRemoved) {
    AddFile("a.bin", "a");
    Publish();
    UpdateManifest manifest;
    ASSERT_EQ(Handler()->DownloadManifest(ManifestUrl(), manifest), ErrorCode::Success);
    EXPECT_EQ(manifest.version, "1.2.3");
    ASSERT_EQ(manifest.files.size(), 1u);
    EXPECT_THAT(TemporaryFiles(cacheDir, "manifest.json."), IsEmpty());
}

class ManifestDownloadAll : public ManifestDownload {
protected:
    UpdateManifest Manifest() {
        UpdateManifest manifest;
        EXPECT_EQ(ManifestHandler::ParseManifestJson(test::ToText(document), manifest), ErrorCode::Success);
        return manifest;
    }
    fs::path Cached(const ManifestFileEntry& entry) const {
        return cacheDir / entry.sha256.substr(0, 8) / entry.sha256;
    }
};

TEST_F(ManifestDownloadAll, FillsTheCacheByContent) {
    const ManifestFileEntry app = AddFile("bin/app.dll", "app");
    const ManifestFileEntry same = AddFile("copy/app.dll", "app");
    Json::Value optional(Json::objectValue);
    optional["isRequired"] = false;
    const ManifestFileEntry extra = AddFile("extras/opt.bin", "optional", optional);
    const auto handler = Handler();
    ASSERT_EQ(handler->DownloadAllFiles(Manifest()), ErrorCode::Success);

    EXPECT_EQ(ReadFile(Cached(app)), "app");
    // Equal content is fetched once and then served from the cache.
    EXPECT_EQ(RequestsFor(RequestPath(app)).size(), 1u);
    EXPECT_TRUE(RequestsFor(RequestPath(same)).empty());
    EXPECT_TRUE(log.HasMessage("Using cached file: copy/app.dll"));
    // Optional files are neither fetched nor counted.
    EXPECT_TRUE(RequestsFor(RequestPath(extra)).empty());
    EXPECT_TRUE(log.HasMessage("Skipping optional file: extras/opt.bin"));
    EXPECT_EQ(handler->Progress().processedFiles, 1);
    EXPECT_EQ(handler->Progress().processedBytes, 6u);
    // Nothing is left under the download's own name.
    EXPECT_THAT(TemporaryFiles(cacheDir / "bin", "app.dll."), IsEmpty());
}

TEST_F(ManifestDownloadAll, StaleCachedCopyIsFetchedAgain) {
    const ManifestFileEntry entry = AddFile("a.bin", "fresh");
    WriteFile(Cached(entry), "stale");
    ASSERT_EQ(Handler()->DownloadAllFiles(Manifest()), ErrorCode::Success);
    EXPECT_EQ(RequestsFor(RequestPath(entry)).size(), 1u);
    EXPECT_EQ(ReadFile(Cached(entry)), "fresh");
}

TEST_F(ManifestDownloadAll, CancelAndLostLauncherStopAfterADownloadedFile) {
    const ManifestFileEntry first = AddFile("1.bin", "one");
    const ManifestFileEntry second = AddFile("2.bin", "two");
    {
        const auto handler = Handler();
        handler->SetProgressCallback([](const ManifestProgress&) { return false; });
        EXPECT_EQ(handler->DownloadAllFiles(Manifest()), ErrorCode::Cancelled);
        EXPECT_TRUE(log.HasMessage("Download cancelled by user"));
        EXPECT_TRUE(RequestsFor(RequestPath(second)).empty());
    }
    server.ClearRequests();
    LoseLauncherPipe();
    // The first file is cached now: the check comes after the next downloaded one.
    EXPECT_EQ(Handler()->DownloadAllFiles(Manifest()), ErrorCode::ProgressPipeClosed);
    EXPECT_TRUE(log.HasMessage("Launcher progress pipe lost; abandoning download"));
    EXPECT_TRUE(RequestsFor(RequestPath(first)).empty());
    EXPECT_EQ(RequestsFor(RequestPath(second)).size(), 1u);
}

// Download folders outlive each file but not the run; a kept partial keeps its own.
TEST_F(ManifestDownloadAll, EmptiedDownloadFoldersGoAtTheEnd) {
    AddFile("p/q/1.bin", "one");
    AddFile("p/2.bin", "two");
    {
        const auto handler = Handler();
        ASSERT_EQ(handler->DownloadAllFiles(Manifest()), ErrorCode::Success);
        EXPECT_FALSE(fs::exists(cacheDir / "p"));
    }

    AddFile("x/y/3.bin", "three");
    const ManifestFileEntry cut = AddFile("x/z/4.bin", Pattern(200000));
    server.SetFault(RequestPath(cut), ServerFault::Bytes(ServerFaultKind::DropAfter, 30000));
    const auto handler = Handler();
    EXPECT_EQ(handler->DownloadAllFiles(Manifest()), ErrorCode::DownloadFailed);
    EXPECT_FALSE(fs::exists(cacheDir / "x" / "y"));
    EXPECT_THAT(TemporaryFiles(cacheDir / "x" / "z", "4.bin."), SizeIs(1));
}

TEST_F(ManifestDownloadAll, FileNotServedFailsWithTheDownloadCode) {
    const ManifestFileEntry entry = AddFile("gone.bin", "gone");
    fs::remove(ServedPath(entry));
    EXPECT_EQ(Handler()->DownloadAllFiles(Manifest()), ErrorCode::DownloadFailed);
    EXPECT_TRUE(log.HasMessage("Failed to download file: gone.bin"));
    EXPECT_EQ(RequestsFor(RequestPath(entry)).size(), 3u);
}

}  // namespace
}  // namespace zuvelo
