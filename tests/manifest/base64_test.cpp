#include "manifest/base64.h"

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace zuvelo {
namespace {

TEST(Base64, StrictDecoding) {
    struct Row {
        const char* text;
        std::optional<std::string> bytes;
    };
    const std::vector<Row> rows = {
        {"", ""},
        {"Zg==", "f"},
        {"Zm8=", "fo"},
        {"Zm9v", "foo"},
        {"Zm9vYmFy", "foobar"},
        {"+/+/", "\xfb\xff\xbf"},
        {"Zg=", std::nullopt},      // missing padding
        {"Zg", std::nullopt},
        {"Zh==", std::nullopt},     // stray bits
        {"Zm9=", std::nullopt},
        {"Z===", std::nullopt},
        {"====", std::nullopt},
        {"Zg==Zg==", std::nullopt}, // padding inside
        {"Zm9v\n", std::nullopt},
        {" Zm9v", std::nullopt},
        {"Zm-v", std::nullopt},     // URL alphabet
        {"Zm9v!A==", std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        const auto decoded = DecodeBase64(row.text);
        ASSERT_EQ(decoded.has_value(), row.bytes.has_value());
        if (decoded) {
            EXPECT_EQ(std::string(decoded->begin(), decoded->end()), *row.bytes);
        }
    }
}

}  // namespace
}  // namespace zuvelo
