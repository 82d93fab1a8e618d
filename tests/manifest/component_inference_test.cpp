#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "manifest/component_inference.h"
#include "tests/support/log_capture.h"

namespace zuvelo {
namespace {

UpdateManifest ManifestWith(const std::string& component, const std::string& gameVersion,
                            const std::vector<std::string>& paths) {
    UpdateManifest manifest;
    manifest.component = component;
    manifest.gameVersion = gameVersion;
    for (const std::string& path : paths) {
        ManifestFileEntry entry;
        entry.relativePath = path;
        manifest.files.push_back(entry);
    }
    return manifest;
}

TEST(ComponentInference, DetermineComponent) {
    struct Row {
        const char* name;
        UpdateManifest manifest;
        ComponentKind kind;
    };
    const std::vector<Row> rows = {
        {"LAUNCHER whatever the files", ManifestWith("LAUNCHER", "1.0", {"game/a", "client/b"}),
         ComponentKind::Launcher},
        {"Client whatever the files", ManifestWith("Client", "", {"launcher/a"}), ComponentKind::Client},
        {"tools is ignored", ManifestWith("tools", "", {"launcher/a"}), ComponentKind::Launcher},
        {"game version", ManifestWith("", "1.0", {"launcher/a"}), ComponentKind::Client},
        {"nothing at all", ManifestWith("", "", {}), ComponentKind::Client},
        {"2 against 1", ManifestWith("", "", {"launcher/a.exe", "resources/b.pak", "client/c.exe"}),
         ComponentKind::Launcher},
        {"tie", ManifestWith("", "", {"launcher/x", "game/y"}), ComponentKind::Client},
        {"no pattern", ManifestWith("", "", {"x", "y/z"}), ComponentKind::Client},
        {"nested launcher folder", ManifestWith("", "", {"data/launcher/x"}), ComponentKind::Launcher},
        {"mylauncher is not a launcher folder", ManifestWith("", "", {"mylauncher/x"}), ComponentKind::Client},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(DetermineComponent(row.manifest), row.kind);
    }
}

TEST(ComponentInference, CountsAreIndependent) {
    struct Row {
        std::vector<std::string> paths;
        ComponentPatternCounts counts;  // launcher, client, resources, total
    };
    const std::vector<Row> rows = {
        {{"launcher/a.exe", "resources/b.pak", "client/c.exe"}, {1, 1, 1, 3}},
        {{"GAME/Launcher/Resources/x"}, {1, 1, 1, 1}},  // one path, three counts
        {{"bin/a", "assets/b", "game/c", "client/d"}, {0, 4, 0, 4}},
        {{"x/bin/a", "mylauncher/b", "launcher", "resources"}, {0, 0, 0, 4}},
    };
    for (const Row& row : rows) {
        const ComponentPatternCounts counts = CountComponentPatterns(ManifestWith("", "", row.paths));
        EXPECT_EQ(counts.launcher, row.counts.launcher);
        EXPECT_EQ(counts.client, row.counts.client);
        EXPECT_EQ(counts.resources, row.counts.resources);
        EXPECT_EQ(counts.total, row.counts.total);
    }
}

TEST(ComponentInference, IsLauncherPath) {
    for (const char* path : {"launcher/x", "LAUNCHER/x", "data/launcher/x", "a/Launcher/b/c"}) {
        EXPECT_TRUE(IsLauncherPath(path)) << path;
    }
    for (const char* path : {"", "launcher", "mylauncher/x", "data/launcherx/y", "launcher\\x"}) {
        EXPECT_FALSE(IsLauncherPath(path)) << path;
    }
}

TEST(ComponentInference, LooksLikeLauncherManifest) {
    struct Row {
        const char* document;
        bool launcher;
    };
    const std::vector<Row> rows = {
        {R"({"files":[{"path":"launcher/a"},{"path":"launcher/b"},{"path":"x"},{"path":"y"}]})", true},  // 2 of 4
        {R"({"files":[{"path":"launcher/a"},{"path":"launcher/b"},{"path":"x"},{"path":"y"},{"path":"z"}]})",
         false},  // 2 of 5
        {R"({"files":[{"relativePath":"launcher/a"}]})", true},
        {R"({"files":[{"path":7,"relativePath":"launcher/a"}]})", true},
        {R"({"files":[{"path":7},{"size":1},5,null,"launcher/a"]})", false},  // nothing taken
        {R"({"files":[{"path":"launcher/a"},5,{"path":"x"}]})", true},  // 1 of 2 taken
        {R"({"files":[]})", false},
        {R"({"files":{"path":"launcher/a"}})", false},
        {R"({})", false},
        {R"([{"path":"launcher/a"}])", false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(LooksLikeLauncherManifest(test::ParseJson(row.document)), row.launcher) << row.document;
    }
}

TEST(ComponentInference, Words) {
    EXPECT_STREQ(ComponentKindWord(ComponentKind::Client), "client");
    EXPECT_STREQ(ComponentKindWord(ComponentKind::Launcher), "launcher");
    EXPECT_STREQ(ComponentKindWord(ComponentKind::Unknown), "unknown");
    EXPECT_STREQ(ComponentKindWord(static_cast<ComponentKind>(7)), "invalid");
}

}  // namespace
}  // namespace zuvelo
