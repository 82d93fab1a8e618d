#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "install/prereq_installer.h"
#include "platform/private_folder.h"
#include "tests/install/prereq_fixture.h"
#include "tests/support/https_test_server.h"
#include "tests/support/sample_release.h"
#include "tests/support/trusted_ca.h"

namespace zuvelo {
namespace {

namespace fs = std::filesystem;
using test::ServerFault;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

constexpr const char* kVcTarget = "/prerequisites/VC_redist.x64.exe";

class PrereqDownload : public test::PrereqFixture {
protected:
    PrereqDownload() { Serve("vc"); }
    void Serve(const std::string& content) { test::WriteFile(www / "prerequisites/VC_redist.x64.exe", content); }
    std::wstring Url(const std::string& path) const { return Utf8ToWide(server.Url(path)); }
    std::vector<std::string> RangesSent() const {
        std::vector<std::string> found;
        for (const test::ServerRequest& request : server.Requests()) found.push_back(request.Header("range"));
        return found;
    }

    fs::path www = temp / "www";
    test::HttpsTestServer server{(fs::create_directories(www), www)};
    test::ScopedTrustedCa trust{server.CaFile()};
};

// Per attempt what the server holds and does; the file an earlier run left; the outcome.
TEST_F(PrereqDownload, RetriesResumeAndValidate) {
    const std::string right(200000, 'r');
    const std::string wrong(200000, 'w');
    const std::string hash = test::Sha256Hex(right);
    std::string upper = hash;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const ServerFault cut = ServerFault::Bytes(test::ServerFaultKind::DropAfter, 80000);
    const ServerFault failure = ServerFault::Status(500);
    struct Case {
        const char* name;
        std::string expectedHash;
        std::optional<std::string> left;
        std::vector<std::pair<std::string, std::optional<ServerFault>>> attempts;
        ErrorCode expected;
        std::vector<std::string> ranges;
        uint64_t estimate = 200000;  // the table's expected size
    };
    const std::vector<Case> cases = {
        {"cut, then resumed", hash, {}, {{right, cut}, {right, {}}}, ErrorCode::Success, {"", "bytes=80000-"}},
        // Without a hash the size is an estimate: a partial past it is resumed, not deleted.
        {"no hash, past its estimate", "", {}, {{right, cut}, {right, {}}}, ErrorCode::Success, {"", "bytes=80000-"},
         50000},
        {"corrupt, then fetched whole", hash, {}, {{wrong, {}}, {right, {}}}, ErrorCode::Success, {"", ""}},
        {"three failures", hash, {}, {{right, failure}, {right, failure}, {right, failure}}, ErrorCode::DownloadFailed,
         {"", "", ""}},
        {"a hash in capitals", upper, {}, {{right, {}}}, ErrorCode::Success, {""}},
        {"a whole partial that checks out", hash, right, {{right, failure}, {right, {}}}, ErrorCode::Success, {""}},
        {"a whole partial that does not", hash, wrong, {{right, failure}, {right, {}}}, ErrorCode::Success, {"", ""}},
        {"a refused resumption starts afresh", hash, {}, {{right, cut}, {right, ServerFault::Status(416)}, {right, {}}},
         ErrorCode::Success, {"", "bytes=80000-", ""}},
    };
    for (const Case& c : cases) {
        const fs::path dest = downloads / "VC_redist.x64.exe";
        fs::remove_all(downloads);
        if (c.left) test::WriteFile(dest, *c.left);
        server.ClearRequests();
        sleeps.clear();
        onSleep = [&](size_t attempt) {
            Serve(c.attempts.at(attempt).first);
            server.ClearFaults();
            if (c.attempts[attempt].second) server.SetFault(kVcTarget, *c.attempts[attempt].second);
        };
        onSleep(0);
        auto installer = Installer();  // its download folder goes with it
        const ErrorCode result = installer->DownloadWithRetry(Url(kVcTarget), dest, c.expectedHash, c.estimate);
        EXPECT_EQ(result, c.expected) << c.name;
        EXPECT_THAT(RangesSent(), ElementsAreArray(c.ranges)) << c.name;
        EXPECT_EQ(sleeps.size(), c.attempts.size() - 1) << c.name;
        if (Succeeded(c.expected)) {
            EXPECT_EQ(test::ReadFile(dest), right) << c.name;
        }
    }
    EXPECT_THAT(sleeps, ElementsAre(test::milliseconds(5000), test::milliseconds(5000)));
    EXPECT_TRUE(log.HasMessage("Download failed after 3 attempts"));
}

// Somebody else's folder is neither used nor removed: the run takes a fresh private one.
TEST_F(PrereqDownload, RefusedFolderIsReplacedForTheRun) {
    const fs::path elsewhere = temp / "elsewhere";
    // The other refusals are the cache folder's, tested with it.
    const std::vector<std::pair<std::function<void()>, std::string>> cases = {
        {[] {}, ""},
        {[&] { test::MakeLink(elsewhere, downloads, test::LinkKind::Folder); }, "a link"},
    };
    for (const auto& [plant, refusal] : cases) {
        fs::remove(downloads);
        fs::create_directories(elsewhere);
        plant();
        if (!refusal.empty() && !fs::exists(fs::symlink_status(downloads))) continue;  // no link made: Wine makes none
        log.Clear();
        auto installer = Installer(Url("/"));
        MarkMissing(*installer, {PrerequisiteType::VcRedistX64});
        ASSERT_EQ(installer->DownloadMissingPrerequisites(), ErrorCode::Success) << refusal;
        const fs::path used = installer->DownloadDirectory();
        uint32_t error = 0;
        EXPECT_EQ(platform::InspectPrivateFolder(used, error), platform::PrivateFolderState::Usable) << refusal;
        EXPECT_EQ(test::ReadFile(used / "VC_redist.x64.exe"), "vc") << refusal;
#ifndef _WIN32  // mode bits: Linux's; a downloaded .exe is runnable (on Windows by its name)
        EXPECT_EQ(fs::status(used).permissions(), fs::perms::owner_all) << refusal;
        EXPECT_EQ(fs::status(used / "VC_redist.x64.exe").permissions(), fs::perms::owner_all) << refusal;
#endif
        EXPECT_EQ(log.HasMessage("Refusing download folder " + ToUtf8Lossy(downloads) + ": it is " + refusal +
                                 "; using " + ToUtf8Lossy(used) + " for this run"),
                  !refusal.empty())
            << refusal;
        EXPECT_EQ(installer->CleanupDownloadDirectory(), ErrorCode::Success);
        EXPECT_FALSE(fs::exists(used)) << refusal;
        EXPECT_EQ(fs::exists(fs::symlink_status(downloads)), !refusal.empty()) << refusal;
        EXPECT_TRUE(fs::is_empty(elsewhere)) << refusal;
    }
}

// The run's folder goes whole, read-only files too, without a file event; a link in
// it goes as itself and nothing behind it is touched.
TEST_F(PrereqDownload, CleanupNeverFollowsALink) {
    bool created = false;
    uint32_t error = 0;
    ASSERT_EQ(platform::EnsurePrivateFolder(downloads, created, error), platform::PrivateFolderState::Usable);
    test::WriteFile(downloads / "VC_redist.x64.exe", "vc");
    fs::permissions(downloads / "VC_redist.x64.exe", fs::perms::owner_read);
    const fs::path elsewhere = temp / "elsewhere";
    test::WriteFile(elsewhere / "keep.exe", "k");
    test::MakeLink(elsewhere, downloads / "linked", test::LinkKind::Folder);      // none under Wine
    test::MakeLink(elsewhere, downloads / "junction", test::LinkKind::Junction);  // only Windows makes these
    log.Clear();
    EXPECT_EQ(Installer()->CleanupDownloadDirectory(), ErrorCode::Success);
    EXPECT_FALSE(fs::exists(downloads));
    EXPECT_EQ(test::ReadFile(elsewhere / "keep.exe"), "k");
    EXPECT_TRUE(log.HasMessage("Download directory cleaned up"));
    EXPECT_TRUE(log.EventsWhere("operation", "file:delete").empty());
}

}  // namespace
}  // namespace zuvelo
