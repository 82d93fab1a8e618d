#include "common/paths.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "common/text.h"
#include "common/tree_removal.h"
#include "platform/win32_error.h"
#include "tests/support/absolute_paths.h"
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

// Path text: extended-length forms, names compared without case, full paths.

TEST(ExtendedLengthPathTest, DriveUncAndDeviceForms) {
    EXPECT_EQ(ToExtendedLengthPath(L"C:/a/b"), L"\\\\?\\C:\\a\\b");
    EXPECT_EQ(ToExtendedLengthPath(L"\\\\srv\\sh\\x"), L"\\\\?\\UNC\\srv\\sh\\x");
    EXPECT_EQ(ToExtendedLengthPath(L"\\\\?\\C:\\a"), L"\\\\?\\C:\\a");
    EXPECT_EQ(ToExtendedLengthPath(L"rel\\x"), L"rel\\x");
}

TEST(ExtendedLengthPathTest, OtherForms) {
    EXPECT_EQ(ToExtendedLengthPath(L"\\??\\C:\\a"), L"\\??\\C:\\a");
    EXPECT_EQ(ToExtendedLengthPath(L"\\\\.\\pipe\\x"), L"\\\\.\\pipe\\x");
    EXPECT_EQ(ToExtendedLengthPath(L"//srv/sh"), L"\\\\?\\UNC\\srv\\sh");
    EXPECT_EQ(ToExtendedLengthPath(L"C:\\"), L"\\\\?\\C:\\");
    EXPECT_EQ(ToExtendedLengthPath(L"C:"), L"C:");
    EXPECT_EQ(ToExtendedLengthPath(L"C:a"), L"C:a");
    EXPECT_EQ(ToExtendedLengthPath(L"rel/x"), L"rel\\x");
    EXPECT_EQ(ToExtendedLengthPath(L"/tmp/x"), L"\\tmp\\x");
    EXPECT_EQ(ToExtendedLengthPath(L""), L"");
}

TEST(ExtendedLengthPathTest, RefusesEmbeddedNul) {
    try {
        ToExtendedLengthPath(std::wstring(L"C:\\a\0b", 6));
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Path contains an embedded NUL");
    }
}

TEST(StripExtendedLengthPrefixTest, UncDriveAndRootForms) {
    EXPECT_EQ(StripExtendedLengthPrefix(L"\\\\?\\UNC\\srv\\sh\\"), L"\\\\srv\\sh");
    EXPECT_EQ(StripExtendedLengthPrefix(L"\\\\?\\C:\\"), L"C:");
    EXPECT_EQ(StripExtendedLengthPrefix(L"\\"), L"\\");
}

TEST(StripExtendedLengthPrefixTest, OtherForms) {
    EXPECT_EQ(StripExtendedLengthPrefix(L"\\??\\UNC\\srv\\sh\\x"), L"\\\\srv\\sh\\x");
    EXPECT_EQ(StripExtendedLengthPrefix(L"\\??\\C:\\a\\b"), L"C:\\a\\b");
    EXPECT_EQ(StripExtendedLengthPrefix(L"//?/C:/a//"), L"C:\\a");
    EXPECT_EQ(StripExtendedLengthPrefix(L"C:\\a"), L"C:\\a");
    EXPECT_EQ(StripExtendedLengthPrefix(L"/"), L"\\");
    EXPECT_EQ(StripExtendedLengthPrefix(L"\\\\"), L"\\");
    EXPECT_EQ(StripExtendedLengthPrefix(L""), L"");
    // Round trip of the UNC and drive forms.
    EXPECT_EQ(StripExtendedLengthPrefix(ToExtendedLengthPath(L"\\\\srv\\sh\\x")), L"\\\\srv\\sh\\x");
    EXPECT_EQ(StripExtendedLengthPrefix(ToExtendedLengthPath(L"C:/a/b/")), L"C:\\a\\b");
}

TEST(PathCompareTest, IgnoresCaseOrdinally) {
    EXPECT_TRUE(PathsEqualIgnoreCase(L"/Tmp/ABC", L"/tmp/abc"));
    EXPECT_TRUE(PathsEqualIgnoreCase(L"/tmp/\u00C4\u00D6", L"/tmp/\u00E4\u00F6"));
    EXPECT_TRUE(PathsEqualIgnoreCase(L"/\u0416", L"/\u0436"));
    EXPECT_FALSE(PathsEqualIgnoreCase(L"/tmp/abc", L"/tmp/abd"));
    EXPECT_FALSE(PathsEqualIgnoreCase(L"/tmp/abc", L"/tmp/abc/"));
    EXPECT_FALSE(PathsEqualIgnoreCase(L"stra\u00DFe", L"STRASSE"));  // one character to one character
    EXPECT_TRUE(PathsEqualIgnoreCase(L"", L""));
}

TEST(ResolveFullPathTest, FoldsLexically) {
    std::wstring out;
    ASSERT_EQ(ResolveFullPath(test::AbsolutePath(L"/a/./b/../c/"), out), 0u);
    EXPECT_EQ(out, test::AbsolutePath(L"/a/c"));
    ASSERT_EQ(ResolveFullPath(test::AbsolutePath(L"\\a\\\\b\\"), out), 0u);
    EXPECT_EQ(out, test::AbsolutePath(L"/a/b"));
    ASSERT_EQ(ResolveFullPath(test::AbsolutePath(L"/../.."), out), 0u);
    EXPECT_EQ(out, kNativeSeparator == L'\\' ? L"C:" : L"/");  // a drive root loses its separator too
    ASSERT_EQ(ResolveFullPath(L"rel/x", out), 0u);
    EXPECT_EQ(out, WidePath(fs::current_path() / "rel" / "x"));
}

TEST(ResolveFullPathTest, RefusesEmptyAndNul) {
    std::wstring out = L"untouched";
    EXPECT_EQ(ResolveFullPath(L"", out), platform::win32::kInvalidName);
    EXPECT_EQ(ResolveFullPath(std::wstring(L"/a\0b", 4), out), platform::win32::kInvalidName);
    EXPECT_EQ(out, L"untouched");
}

TEST(NativePathTest, EitherSeparatorBecomesNative) {
    EXPECT_EQ(NativePath(L"C:\\a/b\\c").native(), fs::path("C:/a/b/c").make_preferred().native());
    EXPECT_EQ(NativePathUtf8("/opt\\x").native(), fs::path("/opt/x").make_preferred().native());
    EXPECT_THROW(NativePathUtf8(std::string("/a\0", 3)), std::invalid_argument);
}

}  // namespace
}  // namespace zuvelo
