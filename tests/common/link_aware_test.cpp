#include "common/link_aware.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "tests/support/test_folders.h"

namespace zuvelo {
namespace {

namespace fs = std::filesystem;

std::string KindOf(const platform::HandleInfo& info) {
    if (info.IsSymlink()) return "link";
    if (info.IsDirectory()) return "folder";
    return info.IsRegular() ? "file" : "nothing";
}

class LinkAwareTest : public ::testing::Test {
protected:
    LinkAwareTest() {
        test::WriteFile(root_ / "a.txt", "a");
        test::WriteFile(root_ / "sub" / "deep" / "c.txt", "c");
        test::WriteFile(root_ / "skipped" / "d.txt", "d");
    }

    test::TempFolder temp_;
    const fs::path root_ = temp_ / "root";
};

// Each entry as "kind depth"; a link is met as itself and never entered (the links
// are left out where none can be made).
TEST_F(LinkAwareTest, WalkNeverEntersALink) {
    std::map<std::string, std::string> expected = {
        {"a.txt", "file 0"},          {"sub", "folder 0"},     {"sub/deep", "folder 1"},
        {"sub/deep/c.txt", "file 2"}, {"skipped", "folder 0"},
    };
    const struct {
        fs::path target;
        const char* link;
        test::LinkKind kind;
        const char* shown;
    } links[] = {
        {root_ / "skipped", "dir-link", test::LinkKind::Folder, "link 0"},
        {root_ / "a.txt", "sub/file-link", test::LinkKind::File, "link 1"},
        {temp_ / "nowhere", "dangling", test::LinkKind::File, "link 0"},
        {root_, "sub/loop", test::LinkKind::Folder, "link 1"},
        {root_, "junction", test::LinkKind::Junction, "link 0"},
    };
    for (const auto& l : links) {
        if (test::MakeLink(l.target, root_ / l.link, l.kind)) expected[l.link] = l.shown;
    }
    std::map<std::string, std::string> met;
    const auto failure = WalkWithoutLinks(root_, [&](const WalkedEntry& entry) {
        const std::string relative = entry.path.lexically_relative(root_).generic_string();
        met[relative] = KindOf(entry.info) + " " + std::to_string(entry.depth);
        return relative == "skipped" ? WalkStep::SkipFolder : WalkStep::Continue;
    });
    EXPECT_FALSE(failure);
    EXPECT_EQ(met, expected);

    const auto missing = WalkWithoutLinks(temp_ / "missing", [](const WalkedEntry&) { return WalkStep::Continue; });
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->folder, temp_ / "missing");
    EXPECT_TRUE(missing->error);
}

TEST_F(LinkAwareTest, EntryAtNeverFollowsALink) {
    const bool linked = test::MakeLink(temp_ / "nowhere", temp_ / "dangling", test::LinkKind::File);
    const struct {
        fs::path path;
        const char* kind;
        bool exists;
    } cases[] = {
        {root_ / "a.txt", "file", true},
        {root_ / "sub", "folder", true},
        {temp_ / "missing", "nothing", false},
        {temp_ / "dangling", linked ? "link" : "nothing", linked},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(KindOf(EntryAt(c.path)), c.kind) << c.path;
        EXPECT_EQ(EntryExists(c.path), c.exists) << c.path;
    }
}

}  // namespace
}  // namespace zuvelo
