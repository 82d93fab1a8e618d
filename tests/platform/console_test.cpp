#include "platform/console.h"

#include <gtest/gtest.h>

#include <string>

namespace zuvelo::platform {
namespace {

// Console text may reach the stream a piece at a time: only a character cut short at
// the end of a piece waits for the next one.
TEST(ConsoleTest, WholeUtf8LengthHoldsBackOnlyACutCharacter) {
    const struct {
        std::string text;
        size_t whole;
    } cases[] = {
        {"", 0},
        {"Zuvelo\n", 7},
        {"Zuv\xC3\xA9", 5},
        {"Zuv\xC3", 3},
        {"\xE6\x97\xA5", 3},
        {"a\xE6\x97", 1},
        {"a\xE6", 1},
        {"\xF0\x9F\x98\x80", 4},
        {"\xF0\x9F\x98", 0},
        {"\xC3\xA9\xC3", 2},
        {"x\x80\x80\x80", 4},  // no character to wait for: the converter shows what it can
    };
    for (const auto& c : cases) EXPECT_EQ(WholeUtf8Length(c.text), c.whole) << c.text;
}

}  // namespace
}  // namespace zuvelo::platform
