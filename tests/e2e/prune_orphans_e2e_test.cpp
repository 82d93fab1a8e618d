// Orphan cleanup after an update applied from a prepared session that left out
// the files already right at the target.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <json/value.h>

#include "tests/e2e/apply_manifest_fixture.h"
#include "tests/support/log_capture.h"

namespace zuvelo::test {
namespace {

namespace fs = std::filesystem;

class PruneOrphansE2e : public ApplyManifestE2e {
protected:
    // lib/b.bin is unchanged, so the session leaves it out; opt/extra.dat is optional.
    const std::vector<ReleaseFile> files_ = {
        {"a.txt", "new a\n"}, {"lib/b.bin", Bytes(7000, 'b')}, {"opt/extra.dat", "extra", false}};
    fs::path target_ = work_ / "install";
    fs::path session_ = work_ / "session";

    void SetUp() override {
        PublishLegacyManifestOnly(files_);
        WriteTree(target_, {{"a.txt", "old a\n"},
                            {"lib/b.bin", Bytes(7000, 'b')},
                            {"opt/extra.dat", "extra"},
                            {"gone.dll", "gone"},
                            {"old/stale.txt", "stale"}});
        WriteSession();
    }

    // The prepared session at session_: a.txt and the files manifest naming it.
    void WriteSession() {
        WriteFile(session_ / "payload/a.txt", "new a\n");
        Json::Value element(Json::objectValue);
        element["file"] = "a.txt";
        element["path"] = (session_ / "payload/a.txt").string();
        Json::Value descriptor(Json::objectValue);
        descriptor["files"].append(element);
        WriteJsonFile(session_ / "files.json", descriptor);
    }

    // Every step carries the fields of both.
    ProgramResult RunPlan(const std::vector<std::string>& types) {
        Json::Value plan(Json::objectValue);
        for (const std::string& type : types) {
            Json::Value step(Json::objectValue);
            step["type"] = type;
            step["manifestUrl"] = ManifestUrl();
            step["cdnUrl"] = CdnUrl();
            step["targetPath"] = target_.string();
            step["component"] = "client";
            step["sessionRoot"] = session_.string();
            step["filesManifest"] = (session_ / "files.json").string();
            plan["operations"].append(step);
        }
        WriteJsonFile(work_ / "plan.json", plan);
        return Run({"--execute-plan", (work_ / "plan.json").string()});
    }
};

TEST_F(PruneOrphansE2e, OnlyFilesTheReleaseNoLongerShipsAreRemoved) {
    const ProgramResult result = RunPlan({"apply_manifest", "prune_orphans"});

    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_EQ(TreeOf(target_),
              Fingerprints({{"a.txt", "new a\n"}, {"lib/b.bin", Bytes(7000, 'b')}, {"opt/extra.dat", "extra"}}));
    EXPECT_FALSE(fs::exists(target_ / "old"));
    const Json::Value report = ParseJson(ReadFile(session_ / "orphan-report.json"));
    EXPECT_EQ(report["filesRemoved"].asUInt(), 2u);
    EXPECT_EQ(report["dirsRemoved"].asUInt(), 1u);
    EXPECT_EQ(ParseJson(ReadFile(session_ / "local-inventory.json")).size(), 8u);
}

// The session's own folder is no orphan, wherever the launcher put it.
TEST_F(PruneOrphansE2e, ASessionInsideTheTargetIsKept) {
    session_ = target_ / "staging" / "session";
    WriteSession();

    const ProgramResult result = RunPlan({"apply_manifest", "prune_orphans"});

    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_FALSE(fs::exists(target_ / "gone.dll"));
    EXPECT_EQ(ReadFile(session_ / "payload/a.txt"), "new a\n");
    EXPECT_TRUE(fs::exists(session_ / "files.json"));
    EXPECT_EQ(ParseJson(ReadFile(session_ / "orphan-report.json"))["filesRemoved"].asUInt(), 2u);
}

TEST_F(PruneOrphansE2e, WithoutTheApplyStepNothingIsDeleted) {
    const Tree before = TreeOf(target_);

    const ProgramResult result = RunPlan({"prune_orphans"});

    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_EQ(TreeOf(target_), before);
    EXPECT_EQ(ParseJson(ReadFile(session_ / "orphan-report.json"))["orphans"].size(), 7u)
        << "every file but a.txt, and their folders";
}

}  // namespace
}  // namespace zuvelo::test
