#include "platform/path_identity.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/test_folders.h"

namespace zuvelo::platform {
namespace {

namespace fs = std::filesystem;

using test::kCaseMatters;
// Linux knows a folder by its device and inode; Windows by its full path.
#ifdef _WIN32
constexpr bool kKnownByObject = false;
#else
constexpr bool kKnownByObject = true;
#endif

TEST(PathIdentityTest, NamesTheSameFolderAsTheFileSystemTellsThemApart) {
    test::TempFolder temp;
    fs::create_directories(temp / "App");
    fs::create_directories(temp / "app");  // on Windows App itself
    const bool linked = test::MakeLink(temp / "App", temp / "link", test::LinkKind::Folder);
    const struct {
        const char* name;
        fs::path a;
        fs::path b;
        bool same;
    } cases[] = {
        {"one spelling", temp / "App", temp / "App", true},
        {"dots, doubled and trailing separators", temp / "App", fs::path(temp.path().string() + "/./x/..//App/"), true},
        {"names that differ in case", temp / "App", temp / "app", !kCaseMatters},
        {"a folder and a missing one", temp / "App", temp / "gone", false},
        {"a missing folder in two spellings", temp / "gone", temp / "x" / ".." / "gone", true},
        {"an empty path", fs::path(), fs::path(), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(NameSameFolder(c.a, c.b), c.same);
        EXPECT_EQ(NameSameFolder(c.b, c.a), c.same);
    }
    if (linked) {
        EXPECT_EQ(NameSameFolder(temp / "link", temp / "App"), kKnownByObject);
    }
}

}  // namespace
}  // namespace zuvelo::platform
