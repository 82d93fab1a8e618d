// Prepared sessions end to end: installed from the session folder, files the
// launcher left out checked at the target, and the plan that releases the session.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <json/value.h>

#include "tests/e2e/apply_manifest_fixture.h"
#include "tests/support/event_summary.h"

namespace zuvelo::test {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class PreparedSession : public ApplyManifestE2e {
protected:
    // b.bin and e.txt are already current at the target, so the session leaves them out.
    const std::vector<ReleaseFile> files_ = {{"a.txt", "new a\n"},
                                             {"lib/b.bin", Bytes(7000, 'b')},
                                             {"lib/c.bin", Bytes(9000, 'c')},
                                             {"d/e.txt", "unchanged e\n"}};
    const Tree old_ = {
        {"a.txt", "old a\n"}, {"lib/b.bin", Bytes(7000, 'b')}, {"lib/c.bin", "old c\n"}, {"d/e.txt", "unchanged e\n"}};
    fs::path target_ = work_ / "install";
    fs::path session_ = work_ / "session";
    fs::path descriptor_ = session_ / "files.json";

    void SetUp() override {
        // The server holds only the manifest: nothing may be downloaded.
        PublishLegacyManifestOnly(files_);
        WriteTree(target_, old_);
    }

    // A descriptor element for a file of the release lying at `onDisk`.
    Json::Value Element(const ReleaseFile& file, const fs::path& onDisk) {
        WriteFile(onDisk, file.content);
        Json::Value element(Json::objectValue);
        element["file"] = file.path;
        element["path"] = onDisk.string();
        element["bytes"] = Json::UInt64(file.content.size());
        element["sha256"] = Sha256Hex(file.content);
        return element;
    }

    void WriteDescriptor(const std::vector<Json::Value>& elements) {
        Json::Value document(Json::objectValue);
        document["sessionRoot"] = session_.string();
        document["files"] = Json::Value(Json::arrayValue);
        for (const Json::Value& element : elements) document["files"].append(element);
        WriteJsonFile(descriptor_, document);
    }

    void WriteChangedFilesDescriptor() {
        WriteDescriptor({Element(files_[0], session_ / "payload/a.txt"),
                         Element(files_[2], session_ / "payload/lib/c.bin")});
    }
};

TEST_F(PreparedSession, InstallsTheSessionAndKeepsUnchangedFiles) {
    WriteChangedFilesDescriptor();

    const ProgramResult result =
        Apply(target_, {"--session-root", session_.string(), "--files-manifest", descriptor_.string()});

    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_EQ(TreeOf(target_), RequiredTree(files_));
    EXPECT_THAT(FileRequests(), IsEmpty());
    EXPECT_THAT(ManifestStatuses(Events(result)), ElementsAre("starting", "completed 4"));
    EXPECT_TRUE(fs::exists(session_)) << "only a release_session step removes it";
}

TEST_F(PreparedSession, FileReachedThroughALinkOutOfTheSessionIsRefused) {
    // Right bytes, wrong place: only the containment check can stop it.
    const fs::path outside = work_ / "outside";
    fs::create_directories(session_);
    if (!MakeLink(outside, session_ / "escape", LinkKind::Folder)) GTEST_SKIP() << kNoLinksHere;
    Json::Value escaping = Element(files_[0], outside / "a.txt");
    escaping["path"] = (session_ / "escape" / "a.txt").string();
    WriteDescriptor({escaping, Element(files_[2], session_ / "payload/lib/c.bin")});

    const ProgramResult result =
        Apply(target_, {"--session-root", session_.string(), "--files-manifest", descriptor_.string()});

    EXPECT_EQ(result.exitCode, 1) << result.out;
    EXPECT_EQ(TreeOf(target_), Fingerprints(old_));
}

TEST_F(PreparedSession, PlanAppliesThenReleasesTheSession) {
    WriteChangedFilesDescriptor();
    Json::Value apply(Json::objectValue);
    apply["type"] = "apply_manifest";
    apply["manifestUrl"] = ManifestUrl();
    apply["cdnUrl"] = CdnUrl();
    apply["targetPath"] = target_.string();
    apply["sessionRoot"] = session_.string();
    apply["filesManifest"] = descriptor_.string();
    Json::Value release(Json::objectValue);
    release["type"] = "release_session";
    release["sessionRoot"] = session_.string();
    Json::Value plan(Json::objectValue);
    plan["operations"].append(apply);
    plan["operations"].append(release);
    WriteJsonFile(work_ / "plan.json", plan);

    const ProgramResult result = Run({"--execute-plan", (work_ / "plan.json").string()});

    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    std::vector<std::string> progress;
    for (const std::string& summary : SummarizeAll(Events(result))) {
        if (summary.rfind("progress execution_plan", 0) == 0) progress.push_back(summary);
    }
    EXPECT_THAT(progress, ElementsAre("progress execution_plan 50", "progress execution_plan 100"));
    EXPECT_FALSE(fs::exists(session_));
    EXPECT_EQ(TreeOf(target_), RequiredTree(files_));
}

}  // namespace
}  // namespace zuvelo::test
