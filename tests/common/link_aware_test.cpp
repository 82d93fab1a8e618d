#include "common/link_aware.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

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
        test::WriteFile(outside_ / "x.txt", "x");
    }

    test::TempFolder temp_;
    const fs::path root_ = temp_ / "root";
    const fs::path outside_ = temp_ / "outside";
};

// Each entry as "kind depth"; links are met as themselves and never entered.
TEST_F(LinkAwareTest, WalkNeverEntersALink) {
    std::map<std::string, std::string> expected = {
        {"a.txt", "file 0"},       {"sub", "folder 0"},   {"sub/deep", "folder 1"},
        {"sub/deep/c.txt", "file 2"}, {"skipped", "folder 0"},
    };
    const struct {
        fs::path target;
        const char* link;
        test::LinkKind kind;
        const char* shown;
    } links[] = {
        {outside_, "dir-link", test::LinkKind::Folder, "link 0"},
        {outside_ / "x.txt", "sub/file-link", test::LinkKind::File, "link 1"},
        {temp_ / "nowhere", "dangling", test::LinkKind::File, "link 0"},
        {root_, "sub/loop", test::LinkKind::Folder, "link 1"},
        {outside_, "junction", test::LinkKind::Junction, "link 0"},
    };
    for (const auto& l : links) {
        if (test::MakeLink(l.target, root_ / l.link, l.kind)) expected[l.link] = l.shown;
    }
    std::map<std::string, std::string> met;
    std::vector<std::string> order;
    const auto failure = WalkWithoutLinks(root_, [&](const WalkedEntry& entry) {
        const std::string relative = entry.path.lexically_relative(root_).generic_string();
        met[relative] = KindOf(entry.info) + " " + std::to_string(entry.depth);
        order.push_back(relative);
        return relative == "skipped" ? WalkStep::SkipFolder : WalkStep::Continue;
    });
    EXPECT_FALSE(failure);
    EXPECT_EQ(met, expected);
    for (size_t i = 0; i < order.size(); ++i) {  // every folder before what it holds
        const std::string parent = fs::path(order[i]).parent_path().generic_string();
        if (parent.empty()) continue;
        EXPECT_LT(static_cast<size_t>(std::find(order.begin(), order.end(), parent) - order.begin()), i) << order[i];
    }
}

TEST_F(LinkAwareTest, AFolderThatCannotBeListedStopsTheWalk) {
    const auto failure = WalkWithoutLinks(temp_ / "missing", [](const WalkedEntry&) { return WalkStep::Continue; });
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->folder, temp_ / "missing");
    EXPECT_TRUE(failure->error);
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
