#include "platform/pipe.h"

#include <gtest/gtest.h>

#include <chrono>

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
        {L"\\\\.\\pipe\\Zuvelo-\u00e9\u4e2d", root.path() / "pipe" / "Zuvelo-\xC3\xA9\xE4\xB8\xAD"},
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

// Names that no launcher's socket can have are waited for like a missing one.
TEST(PipeConnectionTest, NameWithNoSocketIsRetriedUntilTheTimeOut) {
    test::ScopedMachineRoot root;
    for (const wchar_t* name : {L"relative", L"\\\\server\\pipe\\x", L"\\\\.\\pipe\\missing"}) {
        PipeConnection pipe;
        uint32_t error = 0;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(pipe.Connect(name, 300, &error));
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
        EXPECT_EQ(error, 2u);  // not found
    }
}

TEST(PipeConnectionTest, WriteWithoutConnectionFails) {
    PipeConnection pipe;
    EXPECT_FALSE(pipe.IsOpen());
    EXPECT_EQ(pipe.Write("x\n"), 6u);
}

}  // namespace
}  // namespace zuvelo::platform
