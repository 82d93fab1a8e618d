#include "common/text.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#endif

#include <vector>

#include <json/reader.h>

#include "tests/support/log_capture.h"

namespace zuvelo {
namespace {

TEST(TextTest, ValidTextRoundTrips) {
    const std::string samples[] = {"", "plain", "caf\xC3\xA9", "\xE2\x82\xAC 5", "\xF0\x9F\x98\x80", "\x7F\xDF\xBF\xEF\xBF\xBF\xF4\x8F\xBF\xBF"};
    for (const std::string& utf8 : samples) {
        EXPECT_EQ(WideToUtf8(Utf8ToWide(utf8)), utf8);
        EXPECT_EQ(WideToUtf8Lossy(Utf8ToWide(utf8)), utf8);
    }
    EXPECT_EQ(Utf8ToWide("caf\xC3\xA9"), L"caf\u00E9");
    EXPECT_EQ(Utf8ToWide("\xF0\x9F\x98\x80"), L"\U0001F600");  // a surrogate pair where wchar_t has 16 bits
}

TEST(TextTest, StrictUtf8RefusesMalformedInput) {
    const std::string invalid[] = {
        "\xC3\x28",          // bad continuation
        "\xC0\xAF",          // overlong '/'
        "\xE0\x80\xAF",      // overlong, three bytes
        "\xF0\x80\x80\xAF",  // overlong, four bytes
        "\xED\xA0\x80",      // encoded surrogate
        "\xF4\x90\x80\x80",  // above U+10FFFF
        "\xF8\x88\x80\x80\x80",
        "\xE2\x82",          // truncated
        "abc\xC3",           // truncated at the end
        "\x80",              // lone continuation
    };
    for (const std::string& text : invalid) {
        try {
            Utf8ToWide(text);
            ADD_FAILURE() << "accepted invalid UTF-8";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Invalid UTF-8 input");
        }
    }
}

TEST(TextTest, StrictWideRefusesInvalidCodePoints) {
    std::vector<wchar_t> invalid = {static_cast<wchar_t>(0xD800), static_cast<wchar_t>(0xDFFF)};
    if constexpr (sizeof(wchar_t) == 4) invalid.push_back(static_cast<wchar_t>(0x110000));
    for (wchar_t c : invalid) {
        const std::wstring text = std::wstring(L"a") + c + L"b";
        try {
            WideToUtf8(text);
            ADD_FAILURE() << "accepted invalid code point";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Invalid UTF-16 input");
        }
        EXPECT_EQ(WideToUtf8Lossy(text), "a\xEF\xBF\xBD" "b");
        EXPECT_EQ(ToUtf8Lossy(text), "a\xEF\xBF\xBD" "b");
    }
}

TEST(TextTest, LossyConvertersNeverThrow) {
    EXPECT_EQ(OemToWide(""), L"");
#ifdef _WIN32
    // The OEM code page of the tests' Wine prefix, as of an English Windows.
    if (::GetOEMCP() == 437) {
        EXPECT_EQ(OemToWide("caf\x82 \xC3\x28"), L"caf\u00e9 \u251c(");
    }
#else
    EXPECT_EQ(OemToWide("ok \xC3\x28"), std::wstring(L"ok ") + static_cast<wchar_t>(0xFFFD) + L"(");
#endif
#ifdef _WIN32
    const std::filesystem::path undecodable(std::wstring(L"dir/") + static_cast<wchar_t>(0xD800) + L"name");
#else
    const std::filesystem::path undecodable("dir/\xFF" "name");
#endif
    EXPECT_EQ(ToUtf8Lossy(undecodable), "dir/\xEF\xBF\xBDname");
    EXPECT_EQ(WideToUtf8Lossy(L""), "");
}

TEST(TextTest, PathFromUtf8) {
    EXPECT_EQ(Utf8FromPath(PathFromUtf8("a/caf\xC3\xA9")), "a/caf\xC3\xA9");
    try {
        PathFromUtf8(std::string("a\0b", 3));
        ADD_FAILURE() << "accepted NUL";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Path contains an embedded NUL");
    }
    EXPECT_THROW(PathFromUtf8("\xC3\x28"), std::runtime_error);
}

TEST(TextTest, EmbeddedNulInJson) {
    const struct {
        const char* json;
        bool hasNul;
    } cases[] = {
        {R"({"a\u0000": 1})", true},
        {R"({"a": {"b": ["x", "y\u0000z"]}})", true},
        {R"([1, [2, {"k": "\u0000"}]])", true},
        {R"({"a": [1, "plain"]})", false},
        {R"("text")", false},
        {"null", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(JsonHasEmbeddedNul(test::ParseJson(c.json)), c.hasNul) << c.json;
    }
}

}  // namespace
}  // namespace zuvelo
