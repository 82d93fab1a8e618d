#include "platform/pipe.h"

#include <gtest/gtest.h>

#include "tests/support/test_folders.h"

namespace zuvelo::platform {
namespace {

TEST(PipeSocketPathTest, NamesMapIntoTheMachineRoot) {
    test::ScopedMachineRoot root;
    const struct {
        const wchar_t* name;
        std::filesystem::path expected;
    } cases[] = {
        {L"\\\\.\\pipe\\ZuveloProgress", root.path() / "pipe" / "ZuveloProgress"},
        {L"//./pipe/p1", root.path() / "pipe" / "p1"},
        {L"/run/launcher.sock", "/run/launcher.sock"},
        {L"\\\\.\\pipe\\", ""},
        {L"\\\\.\\pipe\\..", ""},
        {L"\\\\.\\pipe\\a\\b", ""},
        {L"relative", ""},
        {L"\\\\server\\pipe\\x", ""},
        {L"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(PipeSocketPath(c.name), c.expected) << c.expected;
}

TEST(PipeConnectionTest, WriteWithoutConnectionFails) {
    PipeConnection pipe;
    EXPECT_FALSE(pipe.IsOpen());
    EXPECT_EQ(pipe.Write("x\n"), 6u);
}

}  // namespace
}  // namespace zuvelo::platform
