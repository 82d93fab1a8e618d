#include "platform/pipe.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include "platform/linux/pipe_socket.h"
#endif

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "platform/win32_error.h"
#include "tests/support/pipe_listener.h"
#include "tests/support/test_folders.h"

namespace zuvelo::platform {
namespace {

using Clock = std::chrono::steady_clock;

TEST(PipeSocketPathTest, NamesMapIntoTheMachineRoot) {
#ifdef _WIN32
    GTEST_SKIP() << "only Linux maps pipe names to Unix sockets under the machine root";
#else
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
#endif
}

// Names that name no launcher's pipe here are waited for like a missing one.
TEST(PipeConnectionTest, NameWithNoSocketIsRetriedUntilTheTimeOut) {
    test::ScopedMachineRoot root;
    for (const wchar_t* name : {L"relative", L"\\\\server\\pipe\\x", L"\\\\.\\pipe\\missing", L"\\\\.\\pipe\\..",
                                L"\\\\.\\pipe\\a\\b", L"\\\\.\\pipe\\..\\C:\\events.txt", L"\\\\.\\pipe\\.. "}) {
        PipeConnection pipe;
        uint32_t error = 0;
        const auto start = Clock::now();
        EXPECT_FALSE(pipe.Connect(name, 300, &error));
        EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));
        EXPECT_EQ(error, win32::kFileNotFound);
    }
}

// The event stream goes to pipes only: a file given as the pipe's name is never written.
TEST(PipeConnectionTest, FileGivenAsThePipeIsNeverWritten) {
    test::TempFolder temp;
    const std::filesystem::path file = temp / "events.txt";
    test::WriteFile(file, "kept");
    PipeConnection pipe;
    EXPECT_FALSE(pipe.Connect(file.wstring(), 300));
    EXPECT_EQ(test::ReadFile(file), "kept");
}

// A launcher that reads one line and goes: the next writes fail with ERROR_NO_DATA.
TEST(PipeConnectionTest, WritesReachTheReaderUntilItGoes) {
    test::ScopedMachineRoot root;
    test::PipeListener listener(root.path() / "pipe" / root.path().filename(), 1);
    PipeConnection pipe;
    ASSERT_TRUE(pipe.Connect(listener.pipeName(), 2000));
    EXPECT_EQ(pipe.Write("one\n"), win32::kSuccess);
    ASSERT_TRUE(listener.WaitUntilDone(5000));
    EXPECT_EQ(listener.Lines(), std::vector<std::string>{"one"});
    uint32_t error = win32::kSuccess;
    for (int i = 0; i < 20 && error == win32::kSuccess; ++i) error = pipe.Write("more\n");
    EXPECT_EQ(error, win32::kNoData);
}

// The launcher's one instance held by another writer: waited for until the time-out.
TEST(PipeConnectionTest, BusyPipeIsWaitedForUntilTheTimeOut) {
#ifndef _WIN32
    GTEST_SKIP() << "a Unix socket is never busy: its backlog takes the connection";
#else
    test::ScopedMachineRoot root;
    test::PipeListener listener(root.path() / "pipe" / root.path().filename());
    PipeConnection first;
    ASSERT_TRUE(first.Connect(listener.pipeName(), 2000));
    PipeConnection second;
    uint32_t error = 0;
    const auto start = Clock::now();
    EXPECT_FALSE(second.Connect(listener.pipeName(), 300, &error));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_EQ(error, win32::kPipeBusy);
#endif
}

// Windows takes every character after \\.\pipe\ as the pipe's name, backslashes
// included, and either separator as one.
TEST(PipeConnectionTest, APipeWhoseNameHoldsABackslashIsOpened) {
#ifndef _WIN32
    GTEST_SKIP() << "a socket's file name never holds a backslash";
#else
    const std::wstring name = L"\\\\.\\pipe\\zuvelo-" + std::to_wstring(::GetCurrentProcessId()) + L"\\progress";
    std::wstring forward = name;
    std::replace(forward.begin() + 9, forward.end(), L'\\', L'/');
    for (const std::wstring& given : {name, forward}) {
        const HANDLE server = ::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0,
                                                 4096, 0, nullptr);
        ASSERT_NE(server, INVALID_HANDLE_VALUE);
        PipeConnection pipe;
        uint32_t error = 0;
        EXPECT_TRUE(pipe.Connect(given, 2000, &error)) << error;
        EXPECT_EQ(pipe.Write("one\n"), win32::kSuccess);
        char got[8] = {};
        DWORD read = 0;
        EXPECT_TRUE(::ReadFile(server, got, sizeof got, &read, nullptr));
        EXPECT_EQ(std::string(got, read), "one\n");
        pipe.Close();
        ::CloseHandle(server);
    }
#endif
}

TEST(PipeConnectionTest, WriteWithoutConnectionFails) {
    PipeConnection pipe;
    EXPECT_FALSE(pipe.IsOpen());
    EXPECT_EQ(pipe.Write("x\n"), win32::kInvalidHandle);
}

}  // namespace
}  // namespace zuvelo::platform
