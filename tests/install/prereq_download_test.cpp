#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "install/prereq_installer.h"
#include "platform/private_folder.h"
#include "tests/install/prereq_fixture.h"
#include "tests/support/sample_release.h"
#include "tests/support/https_test_server.h"

namespace zuvelo {
namespace {

namespace fs = std::filesystem;
using test::ServerFault;
using test::ServerFaultKind;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

constexpr const char* kVcTarget = "/prerequisites/VC_redist.x64.exe";
constexpr const char* kVcFile = "prerequisites/VC_redist.x64.exe";

std::string FillerBytes(size_t size, char seed = 'a') {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(seed + (i * 7 + i / 251) % 26);
    return bytes;
}

class PrereqDownload : public test::PrereqFixture {
protected:
    std::wstring Cdn(const std::string& path = "/") const { return Utf8ToWide(server.Url(path)); }
    std::vector<std::string> RangesSent(const std::string& target) const {
        std::vector<std::string> ranges;
        for (const test::ServerRequest& request : server.Requests()) {
            if (request.target == target) ranges.push_back(request.Header("range"));
        }
        return ranges;
    }
    uint32_t ModeOf(const fs::path& path) const {
        struct stat info {};
        return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
    }

    fs::path www = temp / "www";
    test::HttpsTestServer server{(fs::create_directories(www), www)};
    test::ScopedEnvironmentVariable trust{"SSL_CERT_FILE", server.CaFile().string()};
};

TEST_F(PrereqDownload, AddressUnderTheRootOrTheRowsOwn) {
    test::WriteFile(www / "base/prerequisites/VC_redist.x64.exe", "vc");
    test::WriteFile(www / "elsewhere.exe", "other");
    for (const std::string root : {"/base", "/base/"}) {
        auto installer = Installer(Cdn(root));
        installer->BuildPrerequisiteTable();
        EXPECT_EQ(installer->DownloadPrerequisite(PrerequisiteType::VcRedistX64, temp / "a.exe"), ErrorCode::Success);
    }
    auto installer = Installer(Cdn("/ignored"));
    installer->BuildPrerequisiteTable();
    installer->Prerequisites()[0].downloadUrl = Cdn("/elsewhere.exe");
    EXPECT_EQ(installer->DownloadPrerequisite(PrerequisiteType::VcRedistX64, temp / "b.exe"), ErrorCode::Success);
    std::vector<std::string> targets;
    for (const test::ServerRequest& request : server.Requests()) targets.push_back(request.target);
    EXPECT_THAT(targets, ElementsAre("/base/prerequisites/VC_redist.x64.exe", "/base/prerequisites/VC_redist.x64.exe",
                                     "/elsewhere.exe"));
    EXPECT_EQ(test::ReadFile(temp / "b.exe"), "other");
    EXPECT_EQ(ModeOf(temp / "b.exe"), 0700u);  // runnable, as a downloaded .exe is

    auto bare = Installer(L"");
    bare->BuildPrerequisiteTable();
    EXPECT_EQ(bare->DownloadPrerequisite(PrerequisiteType::WindowsSdk, temp / "c.exe"), ErrorCode::InvalidArguments);
    EXPECT_TRUE(log.HasMessage("Prerequisite type not found: 3"));
    EXPECT_EQ(bare->DownloadPrerequisite(PrerequisiteType::VcRedistX64, temp / "c.exe"), ErrorCode::DownloadFailed);
    EXPECT_TRUE(log.HasMessage("Downloading with retry: prerequisites/VC_redist.x64.exe"));
}

// Attempts with what the server holds and does for each; the file the caller
// may have left; the outcome.
TEST_F(PrereqDownload, RetriesResumeAndValidate) {
    const std::string right = FillerBytes(200000);
    const std::string wrong = FillerBytes(200000, 'b');
    const std::string hash = test::Sha256Hex(right);
    std::string upper = hash;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    struct Attempt {
        std::string served;
        std::optional<ServerFault> fault;
    };
    struct Case {
        const char* name;
        std::string expectedHash;
        std::optional<std::string> leftBefore;
        std::vector<Attempt> attempts;
        ErrorCode expected;
        std::vector<std::string> ranges;
    };
    const ServerFault cut = ServerFault::Bytes(ServerFaultKind::DropAfter, 80000);
    const ServerFault failure = ServerFault::Status(500);
    const std::vector<Case> cases = {
        {"cut, then resumed", hash, {}, {{right, cut}, {right, {}}}, ErrorCode::Success, {"", "bytes=80000-"}},
        {"corrupt, then fetched whole", hash, {}, {{wrong, {}}, {right, {}}}, ErrorCode::Success, {"", ""}},
        {"three failures", hash, {}, {{right, failure}, {right, failure}, {right, failure}}, ErrorCode::DownloadFailed,
         {"", "", ""}},
        {"a hash in capitals", upper, {}, {{right, {}}}, ErrorCode::Success, {""}},
        {"no hash: accepted", "", {}, {{wrong, {}}}, ErrorCode::Success, {""}},
        {"a whole partial that checks out is kept", hash, right, {{right, failure}, {right, {}}}, ErrorCode::Success,
         {""}},
        {"a whole partial that does not is fetched again", hash, wrong, {{right, failure}, {right, {}}},
         ErrorCode::Success, {"", ""}},
        {"a resume refused with 416 starts afresh", hash, {},
         {{right, cut}, {right, ServerFault::Status(416)}, {right, {}}}, ErrorCode::Success,
         {"", "bytes=80000-", ""}},
    };
    for (const Case& c : cases) {
        const fs::path dest = downloads / "VC_redist.x64.exe";
        fs::remove_all(downloads);
        if (c.leftBefore) test::WriteFile(dest, *c.leftBefore);
        server.ClearRequests();
        sleeps.clear();
        const auto serve = [&](size_t attempt) {
            test::WriteFile(www / kVcFile, c.attempts.at(attempt).served);
            server.ClearFaults();
            if (c.attempts[attempt].fault) server.SetFault(kVcTarget, *c.attempts[attempt].fault);
        };
        serve(0);
        onSleep = serve;
        auto installer = Installer();  // its download folder goes with it
        EXPECT_EQ(installer->DownloadWithRetry(Cdn(kVcTarget), dest, c.expectedHash, right.size()), c.expected)
            << c.name;
        EXPECT_THAT(RangesSent(kVcTarget), ElementsAreArray(c.ranges)) << c.name;
        EXPECT_EQ(sleeps.size(), c.attempts.size() - 1) << c.name;
        if (c.expected == ErrorCode::Success && !c.expectedHash.empty()) {
            EXPECT_EQ(test::ReadFile(dest), right) << c.name;
        }
    }
    EXPECT_THAT(sleeps, ElementsAre(test::milliseconds(5000), test::milliseconds(5000)));
    EXPECT_TRUE(log.HasMessage("Download failed after 3 attempts"));
    EXPECT_TRUE(log.HasMessage("No hash provided for validation, skipping"));
    EXPECT_TRUE(log.HasMessage("Hash mismatch. Expected: " + hash + ", Actual: " + test::Sha256Hex(wrong)));
}

// Somebody else's folder is never used nor removed: the run takes a fresh private one.
TEST_F(PrereqDownload, RefusedFolderIsReplacedForTheRun) {
    test::WriteFile(www / kVcFile, "vc");
    const fs::path elsewhere = temp / "elsewhere";
    struct Case {
        const char* name;
        std::function<void()> plant;
        const char* refusal;  // empty: used as it is
    };
    const std::vector<Case> cases = {
        {"missing", [] {}, ""},
        {"a link", [&] { fs::create_directory_symlink(elsewhere, downloads); }, "a link"},
        {"open to others", [&] { fs::create_directory(downloads); fs::permissions(downloads, fs::perms::all); },
         "writable by other users"},
        {"another user's", [&] { fs::create_directory(downloads, elsewhere); ASSERT_EQ(::chown(downloads.c_str(), 65534, 65534), 0); },
         "owned by another user"},
    };
    for (const Case& c : cases) {
        fs::remove(downloads);
        fs::remove_all(elsewhere);
        fs::create_directory(elsewhere);
        c.plant();
        log.Clear();
        auto installer = Installer(Cdn());
        MarkMissing(*installer, {PrerequisiteType::VcRedistX64});
        ASSERT_EQ(installer->DownloadMissingPrerequisites(), ErrorCode::Success) << c.name;
        const fs::path used = installer->DownloadDirectory();
        EXPECT_EQ(ModeOf(used), 0700u) << c.name;
        EXPECT_EQ(test::ReadFile(used / "VC_redist.x64.exe"), "vc") << c.name;
        if (*c.refusal) {
            EXPECT_NE(used, downloads) << c.name;
            EXPECT_TRUE(log.HasMessage("Refusing download folder " + downloads.string() + ": it is " + c.refusal +
                                       "; using " + used.string() + " for this run"))
                << c.name;
        }
        EXPECT_EQ(installer->CleanupDownloadDirectory(), ErrorCode::Success) << c.name;
        EXPECT_FALSE(fs::exists(used)) << c.name;
        EXPECT_EQ(fs::exists(fs::symlink_status(downloads)), *c.refusal != '\0') << c.name;
        EXPECT_TRUE(fs::is_empty(elsewhere)) << c.name;
    }
}

}  // namespace
}  // namespace zuvelo
