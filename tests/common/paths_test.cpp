#include "common/paths.h"

#include <gtest/gtest.h>

#include "common/file_operations.h"
#include "common/text.h"
#include "platform/win32_error.h"
#include "tests/support/test_folders.h"

namespace zuvelo {
namespace {

namespace fs = std::filesystem;

TEST(SafeRelativePathTest, AcceptAndRefuseTable) {
    const struct {
        const char* path;
        bool safe;
    } cases[] = {
        {"a\\b\\c.txt", true}, {"a/b/c.txt", true}, {"file", true}, {"..a", true}, {"a..b", true},
        {"COM0", true}, {"CONSOLE", true}, {"aux_", true}, {"nul-x", true}, {"caf\xC3\xA9/x", true},
        {".hidden", true},
        {"", false}, {"\\a", false}, {"/a", false}, {"C:", false}, {"C:a", false}, {"c:\\a", false},
        {"\\\\srv\\share\\x", false}, {"//srv/share", false}, {"\\\\?\\C:\\a", false}, {"\\\\.\\pipe\\x", false},
        {"\\??\\C:\\a", false}, {"a\\", false}, {"a/", false}, {"a//b", false}, {"a\\..\\b", false},
        {"..", false}, {".\\a", false}, {"a.", false}, {"a ", false}, {"a:b", false}, {"a<b", false},
        {"a>b", false}, {"a\"b", false}, {"a|b", false}, {"a?b", false}, {"a*b", false}, {"a\x01" "b", false},
        {"a\x1F", false}, {"nul.txt", false}, {"Com1", false}, {"lpt\xC2\xB2.log", false},
        {"AUX.tar.gz", false}, {"dir/CON", false}, {"prn", false}, {"LPT9", false}, {"COM\xC2\xB9", false},
        {"COM1x", true}, {"conx/a", true}, {"a/aux", false}, {"a/b.", false}, {"a\x7F" "b", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsSafeRelativePathUtf8(c.path), c.safe) << c.path;
        EXPECT_EQ(IsSafeRelativePath(Utf8ToWide(c.path)), c.safe) << c.path;
    }
}

TEST(SafeRelativePathTest, RefusesNulAndInvalidEncodingWithoutThrowing) {
    EXPECT_FALSE(IsSafeRelativePathUtf8(std::string("a\0b", 3)));
    EXPECT_FALSE(IsSafeRelativePathUtf8("a\xC3\x28"));
    EXPECT_FALSE(IsSafeRelativePath(std::wstring(L"a\0b", 3)));
    EXPECT_FALSE(IsSafeRelativePath(std::wstring(1, static_cast<wchar_t>(0xD800))));
}

TEST(PathWithinTest, ComparesComponentsAfterResolvingLinks) {
    test::TempFolder temp;
    const fs::path base = temp / "base";
    fs::create_directories(base / "sub");
    fs::create_directories(temp / "base2");
    fs::create_directories(temp / "outside");
    if (!test::MakeLink(temp / "outside", base / "link", test::LinkKind::Folder)) {
        GTEST_SKIP() << "no symbolic links can be made here (Wine makes none)";
    }

    EXPECT_TRUE(IsPathWithin(base, base));
    EXPECT_TRUE(IsPathWithin(base / "sub" / "file", base));
    EXPECT_TRUE(IsPathWithin(base / "sub", base.string() + "/"));
    EXPECT_FALSE(IsPathWithin(temp / "base2" / "x", base));
    EXPECT_FALSE(IsPathWithin(base / ".." / "outside", base));
    EXPECT_FALSE(IsPathWithin(base / "link" / "x", base));
    EXPECT_FALSE(IsPathWithin(temp.path(), base));
}

// Existence and folders as std::filesystem tells them, through the system's own calls
// (on Windows in the extended-length form, so the 300-character rows pass there too).
TEST(PathQueriesTest, ExistenceFoldersAndMakingThem) {
    test::TempFolder temp;
    test::WriteFile(temp / "file.txt", "x");
    fs::path longFolder = temp.path();
    for (char fill = 'a'; Utf8FromPath(longFolder).size() < 300; ++fill) longFolder /= std::string(60, fill);
    ASSERT_EQ(CreateFolders(temp / "made" / "below"), 0u);
    ASSERT_EQ(CreateFolders(longFolder), 0u);
    const struct {
        fs::path path;
        bool exists;
        bool folder;
    } rows[] = {
        {temp / "file.txt", true, false},
        {temp / "made" / "below", true, true},
        {longFolder, true, true},
        {temp / "missing", false, false},
        {temp / "missing" / "below", false, false},  // a missing parent is absence too
        {temp / "file.txt" / "below", false, false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(PathExists(row.path), row.exists) << row.path;
        EXPECT_EQ(IsFolder(row.path), row.folder) << row.path;
    }
    EXPECT_TRUE(IsEmptyFolder(longFolder));
    EXPECT_FALSE(IsEmptyFolder(temp / "made"));
    EXPECT_THROW(IsEmptyFolder(temp / "missing"), fs::filesystem_error);
    EXPECT_EQ(CreateFolders(temp / "made" / "below"), 0u);  // there already
    EXPECT_EQ(CreateFolders(temp / "file.txt" / "below"), platform::win32::kAlreadyExists);
    // The C++ library's removal of the temporary folder takes no long path on Windows.
    EXPECT_EQ(RemoveTreeWithoutEvents(WidePath(temp / std::string(60, 'a'))), 0u);
}

TEST(NativePathTest, EitherSeparatorBecomesNative) {
    EXPECT_EQ(NativePath(L"C:\\a/b\\c").native(), fs::path("C:/a/b/c").make_preferred().native());
    EXPECT_EQ(NativePathUtf8("/opt\\x").native(), fs::path("/opt/x").make_preferred().native());
    EXPECT_THROW(NativePathUtf8(std::string("/a\0", 3)), std::invalid_argument);
}

}  // namespace
}  // namespace zuvelo
