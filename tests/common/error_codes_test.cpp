#include "common/error_codes.h"

#include <gtest/gtest.h>

#include "common/error_codes_detail.h"

namespace zuvelo {
namespace {

TEST(ErrorCodesTest, MessagesOfEveryBlock) {
    const struct {
        int32_t code;
        const char* message;
    } cases[] = {
        {0, "Operation completed successfully"},
        {8, "Launcher closed the progress pipe; operation abandoned"},
        {104, "Prerequisites already installed"},
        {122, "Manifest signature is invalid"},
        {148, "Insufficient disk space"},
        {164, "SSL/TLS error occurred"},
        {184, "Registry delete operation failed"},
        {205, "Cryptographic provider error"},
        {223, "Icon extraction failed"},
        {245, "Process termination failed"},
        {149, "Unknown error"},
        {150, "Unknown error"},
        {-1, "Unknown error"},
        {9, "Unknown error"},
        {246, "Unknown error"},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(GetErrorMessage(static_cast<ErrorCode>(c.code)), c.message) << c.code;
    }
}

TEST(ErrorCodesTest, Win32TextStripsTrailingLineBreaks) {
    const struct {
        std::optional<std::wstring> systemText;
        std::wstring expected;
    } cases[] = {
        {L"Access is denied.\r\n", L"Access is denied."},
        {L"Two\r\nlines\n\r\n", L"Two\r\nlines"},
        {L"\r\n", L""},
        {std::nullopt, L"Win32 error 1234"},
        {L"", L"Win32 error 1234"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatWin32ErrorWith(1234, [&](uint32_t) { return c.systemText; }), c.expected);
    }
}

TEST(ErrorCodesTest, Win32TextOfKnownAndUnknownNumbers) {
    EXPECT_EQ(FormatWin32Error(2), L"The system cannot find the file specified.");
    EXPECT_EQ(FormatWin32Error(4294967295u), L"Win32 error 4294967295");
}

}  // namespace
}  // namespace zuvelo
