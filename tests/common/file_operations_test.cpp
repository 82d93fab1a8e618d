#include "common/file_operations.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "common/jsonl_logger.h"
#include "common/paths.h"
#include "common/text.h"
#include "platform/authenticode.h"
#include "platform/handles.h"
#include "platform/sha256.h"
#include "tests/support/file_trees.h"
#include "tests/support/log_capture.h"
#include "tests/support/signed_executables.h"
#include "tests/support/test_folders.h"
#include "tests/support/wine.h"

namespace zuvelo {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kTenMiB = 10ull * 1024 * 1024;
constexpr const char* kAbcHash = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
constexpr const char* kEmptyHash = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

std::wstring W(const fs::path& path) { return WidePath(path); }
// A path as events and messages show it.
std::string U8(const fs::path& path) { return Utf8FromPath(fs::path(path).make_preferred()); }

// Windows opens a file being copied without write sharing: nobody changes the source
// or the target behind the copy's back, so those changes are refused, not detected.
#ifdef _WIN32
constexpr bool kOpenFilesRefuseWriters = true;
#else
constexpr bool kOpenFilesRefuseWriters = false;
#endif

// CopyFileExW, which copies files of 10 MiB or less on Windows, keeps the last-write time.
#ifdef _WIN32
constexpr bool kSmallCopiesKeepTheirTime = true;
#else
constexpr bool kSmallCopiesKeepTheirTime = false;
#endif

constexpr const char* kNoLinks = "no links can be made here (Wine makes no symbolic links or junctions)";

// The object at path is a link (looked at as itself).
bool IsLink(const fs::path& path) {
    platform::HandleInfo info;
    return platform::QueryPathInfo(path, false, info) == 0 && info.IsSymlink();
}

// The digest computed independently of FileOperations, in one piece.
std::string HashOf(const fs::path& path) {
    const std::string bytes = test::ReadFile(path);
    return platform::Sha256Hex(bytes.data(), bytes.size());
}

void SetLastWriteTime(const fs::path& path, int64_t unixSeconds) {
    using namespace std::chrono;
    fs::last_write_time(path, file_clock::from_sys(sys_seconds(seconds(unixSeconds))));
}

int64_t LastWriteSeconds(const fs::path& path) {
    std::error_code ec;
    const fs::file_time_type time = fs::last_write_time(path, ec);
    if (ec) return -1;
    return std::chrono::floor<std::chrono::seconds>(std::chrono::file_clock::to_sys(time)).time_since_epoch().count();
}

// Collects the logger's lines like LogCapture and calls a hook on each event, so
// a test can act in the middle of an operation (between the walk and a deletion).
class EventHook {
public:
    using Hook = std::function<void(const Json::Value&)>;
    explicit EventHook(Hook hook) : hook_(std::move(hook)) {
        JsonlLogger& logger = JsonlLogger::Instance();
        logger.ResetForTesting();
        logger.SetStdoutSinkForTesting([this](std::string_view text) {
            lines_.emplace_back(text);
            if (hook_) hook_(test::ParseJson(std::string(text)));
        });
    }
    ~EventHook() {
        JsonlLogger& logger = JsonlLogger::Instance();
        logger.SetStdoutSinkForTesting(nullptr);
        logger.ResetForTesting();
    }
    EventHook(const EventHook&) = delete;
    EventHook& operator=(const EventHook&) = delete;

    std::vector<Json::Value> Events() const {
        std::vector<Json::Value> events;
        for (const std::string& line : lines_) events.push_back(test::ParseJson(line));
        return events;
    }

private:
    Hook hook_;
    std::vector<std::string> lines_;
};

std::vector<Json::Value> FileEvents(const std::vector<Json::Value>& events, const std::string& operation) {
    std::vector<Json::Value> matching;
    for (const Json::Value& event : events) {
        if (event.get("operation", "").asString() == "file:" + operation) matching.push_back(event);
    }
    return matching;
}

std::vector<Json::Value> FileEvents(const test::LogCapture& log, const std::string& operation) {
    return FileEvents(log.Events(), operation);
}

// ---------------------------------------------------------------------------------
// Mapping and error reporting.

TEST(FileOperationsTest, MapWin32Error) {
    const struct {
        uint32_t win32;
        ErrorCode code;
    } cases[] = {
        {2, ErrorCode::FileNotFound},          {3, ErrorCode::FileNotFound},
        {5, ErrorCode::FileAccessDenied},      {19, ErrorCode::FileAccessDenied},
        {32, ErrorCode::FileAccessDenied},     {33, ErrorCode::FileAccessDenied},
        {39, ErrorCode::InsufficientDiskSpace}, {112, ErrorCode::InsufficientDiskSpace},
        {123, ErrorCode::InvalidInstallPath},  {161, ErrorCode::InvalidInstallPath},
        {0, ErrorCode::InternalError},         {1, ErrorCode::InternalError},
        {145, ErrorCode::InternalError},       {183, ErrorCode::InternalError},
    };
    for (const auto& c : cases) EXPECT_EQ(FileOperations::MapWin32Error(c.win32), c.code) << c.win32;
}

TEST(FileOperationsTest, LogFileErrorWritesTheDiagnosticAndTheFileEvent) {
    test::LogCapture log;
    FileOperations::LogFileError("DeleteFile", L"/x/y.txt", 5);
    EXPECT_TRUE(log.HasMessage("DeleteFile failed for '/x/y.txt': Access is denied. (code: 5)"));
    const auto events = FileEvents(log, "DeleteFile");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["event_type"].asString(), "error");
    EXPECT_FALSE(events[0]["success"].asBool());
    EXPECT_EQ(events[0]["system_error_code"].asUInt(), 5u);
    EXPECT_EQ(events[0]["file_path"].asString(), "/x/y.txt");
}

// ---------------------------------------------------------------------------------
// Hashing and file information.

TEST(FileOperationsTest, Sha256KnownVectors) {
    test::TempFolder temp;
    const struct {
        std::string data;
        const char* hash;
    } vectors[] = {
        {"abc", kAbcHash},
        {"", kEmptyHash},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    FileOperations ops;
    int i = 0;
    for (const auto& v : vectors) {
        const fs::path file = temp / ("v" + std::to_string(i++));
        test::WriteFile(file, v.data);
        std::string hex;
        ASSERT_EQ(ops.CalculateSha256(W(file), hex), ErrorCode::Success);
        EXPECT_EQ(hex, v.hash);
    }
}

TEST(FileOperationsTest, Sha256OfAFileOfSeveralBlocks) {
    test::TempFolder temp;
    const fs::path file = temp / "big.bin";
    test::WritePatternFile(file, 3 * 1024 * 1024 + 17);
    std::string hex;
    ASSERT_EQ(FileOperations().CalculateSha256(W(file), hex), ErrorCode::Success);
    EXPECT_EQ(hex, HashOf(file));
    EXPECT_EQ(hex.size(), 64u);
}

TEST(FileOperationsTest, Sha256OfAMissingFileIs141) {
    test::TempFolder temp;
    test::LogCapture log;
    std::string hex = "untouched";
    EXPECT_EQ(FileOperations().CalculateSha256(W(temp / "missing"), hex), ErrorCode::FileNotFound);
    EXPECT_EQ(hex, "untouched");
    const auto events = FileEvents(log, "CreateFile");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["system_error_code"].asUInt(), 2u);
}

TEST(FileOperationsTest, Sha256OfAFolderIsRefused) {
    test::TempFolder temp;
    test::LogCapture log;
    std::string hex;
    EXPECT_EQ(FileOperations().CalculateSha256(W(temp.path()), hex), ErrorCode::FileAccessDenied);
}

TEST(FileOperationsTest, GetFileInfo) {
    test::TempFolder temp;
    const fs::path file = temp / "f.txt";
    test::WriteFile(file, "abc");
    fs::permissions(file, fs::perms::owner_read);
    SetLastWriteTime(file, 1700000000);

    FileInfo info;
    ASSERT_EQ(FileOperations().GetFileInfo(W(file), info), ErrorCode::Success);
    EXPECT_TRUE(info.exists);
    EXPECT_EQ(info.path, W(file));
    EXPECT_EQ(info.size, 3u);
    EXPECT_EQ(info.sha256, kAbcHash);
    EXPECT_TRUE(info.readOnly);
    EXPECT_FALSE(info.hidden);
    EXPECT_FALSE(info.system);
    EXPECT_EQ(info.lastWriteTime, 1700000000LL * 10000000);

    const fs::path empty = temp / "empty";
    test::WriteFile(empty, "");
    ASSERT_EQ(FileOperations().GetFileInfo(W(empty), info), ErrorCode::Success);
    EXPECT_EQ(info.size, 0u);
    EXPECT_EQ(info.sha256, "");
    EXPECT_FALSE(info.readOnly);
}

TEST(FileOperationsTest, GetFileInfoOfAMissingFile) {
    test::TempFolder temp;
    test::LogCapture log;
    FileInfo info;
    EXPECT_EQ(FileOperations().GetFileInfo(W(temp / "missing"), info), ErrorCode::FileNotFound);
    EXPECT_FALSE(info.exists);
    EXPECT_EQ(FileEvents(log, "GetFileAttributesEx").size(), 1u);
}

TEST(FileOperationsTest, VerifyFileIntegrity) {
    test::TempFolder temp;
    test::LogCapture log;
    const fs::path file = temp / "f.txt";
    test::WriteFile(file, "abc");
    FileOperations ops;
    EXPECT_EQ(ops.VerifyFileIntegrity(W(file), kAbcHash), ErrorCode::Success);
    std::string upper = kAbcHash;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(ops.VerifyFileIntegrity(W(file), upper), ErrorCode::FileHashMismatch);
    EXPECT_TRUE(log.HasMessage("Hash mismatch. Expected: " + upper + ", Actual: " + kAbcHash));
    EXPECT_EQ(ops.VerifyFileIntegrity(W(temp / "missing"), kAbcHash), ErrorCode::FileNotFound);
}

TEST(FileOperationsTest, VerifyFileSignatureWritesTheTrustResultInItsErrorLine) {
    test::TempFolder temp;
    test::ScopedMachineRoot machineRoot;
    test::LogCapture log;
    test::WriteFile(temp / "a.exe", "MZ");
    test::WriteFile(temp / "unsigned.exe", test::TinyPeImage());
    FileOperations ops;
    EXPECT_EQ(ops.VerifyFileSignature(W(temp / "a.exe")), ErrorCode::SignatureVerificationFailed);
    EXPECT_EQ(ops.VerifyFileSignature(W(temp / "missing.exe")), ErrorCode::SignatureVerificationFailed);
    EXPECT_EQ(ops.VerifyFileSignature(W(temp / "unsigned.exe")), ErrorCode::SignatureVerificationFailed);
    // TRUST_E_SUBJECT_FORM_UNKNOWN, CRYPT_E_FILE_ERROR, TRUST_E_NOSIGNATURE as signed decimals.
    std::vector<int32_t> results{platform::trust::kSubjectFormUnknown, platform::trust::kFileError,
                                 platform::trust::kNoSignature};
    // Wine's WinVerifyTrust answers plain Win32 numbers (87, 2) for the bare header and the missing file.
    if (test::RunningUnderWine()) results = {platform::trust::kNoSignature};
    for (const int32_t result : results) {
        EXPECT_TRUE(log.HasMessage("Signature verification failed: " + std::to_string(result))) << result;
    }
}

TEST(FileOperationsTest, EveryMethodStartsWithItsDebugLine) {
    test::TempFolder temp;
    test::LogCapture log(true);
    const fs::path file = temp / "f.txt";
    test::WriteFile(file, "abc");
    const std::string p = U8(file);
    FileOperations ops;
    FileInfo info;
    std::string hex;
    ops.GetFileInfo(W(file), info);
    ops.CalculateSha256(W(file), hex);
    ops.Copy(W(file), W(temp / "g.txt"), CopyOptions{});
    ops.SetPermissions(W(file), false);
    ops.VerifyFileIntegrity(W(file), kAbcHash);
    ops.VerifyFileSignature(W(file));
    ops.Delete(W(temp / "g.txt"));
    ops.EnsureDirectory(W(temp / "d"));
    ops.RemoveDirectoryTree(W(temp / "d"), true);
    for (const std::string& message :
         {"Getting file info for: " + p, "Calculating SHA-256 hash for: " + p,
          "Copying file: " + p + " -> " + U8(temp / "g.txt"), "Setting file permissions for: " + p,
          "Verifying file integrity: " + p, "Verifying file signature: " + p,
          "Deleting file: " + U8(temp / "g.txt"), "Creating directory: " + U8(temp / "d"),
          "Removing directory: " + U8(temp / "d")}) {
        const auto events = log.EventsWhere("message", message);
        // Copy looks its source up as GetFileInfo does; hashing runs in four of the calls.
        const size_t times = message.starts_with("Calculating") ? 4u : message.starts_with("Getting") ? 2u : 1u;
        ASSERT_EQ(events.size(), times) << message;
        EXPECT_EQ(events[0]["level"].asString(), "DEBUG");
        EXPECT_EQ(events[0]["component"].asString(), "FileOperations");
    }
}

// ---------------------------------------------------------------------------------
// Delete, EnsureDirectory, SetPermissions.

TEST(FileOperationsTest, Delete) {
    test::TempFolder temp;
    test::LogCapture log;
    const fs::path file = temp / "f.txt";
    test::WriteFile(file, "x");
    FileOperations ops;
    EXPECT_EQ(ops.Delete(W(file)), ErrorCode::Success);
    EXPECT_FALSE(fs::exists(file));
    const auto deletes = FileEvents(log, "delete");
    ASSERT_EQ(deletes.size(), 1u);
    EXPECT_TRUE(deletes[0]["success"].asBool());

    EXPECT_EQ(ops.Delete(W(file)), ErrorCode::FileNotFound);
    EXPECT_EQ(FileEvents(log, "DeleteFile").size(), 1u);
    fs::create_directories(temp / "dir");
    EXPECT_EQ(ops.Delete(W(temp / "dir")), ErrorCode::FileAccessDenied);
    EXPECT_TRUE(fs::exists(temp / "dir"));
    // A read-only file is refused, even for the superuser.
    test::WriteFile(file, "x");
    fs::permissions(file, fs::perms::owner_read, fs::perm_options::replace);
    EXPECT_EQ(ops.Delete(W(file)), ErrorCode::FileAccessDenied);
    EXPECT_TRUE(fs::exists(file));
}

TEST(FileOperationsTest, EnsureDirectory) {
    test::TempFolder temp;
    test::LogCapture log;
    FileOperations ops;
    const fs::path nested = temp / "a" / "b" / "c";
    EXPECT_EQ(ops.EnsureDirectory(W(nested)), ErrorCode::Success);
    EXPECT_TRUE(fs::is_directory(nested));
    EXPECT_EQ(FileEvents(log, "mkdir").size(), 1u);

    log.Clear();
    EXPECT_EQ(ops.EnsureDirectory(W(nested)), ErrorCode::Success);
    EXPECT_TRUE(FileEvents(log, "mkdir").empty());

    // Either separator.
    std::wstring backslashed = W(temp / "x") + L"\\y";
    EXPECT_EQ(ops.EnsureDirectory(backslashed), ErrorCode::Success);
    EXPECT_TRUE(fs::is_directory(temp / "x" / "y"));
}

TEST(FileOperationsTest, EnsureDirectoryOnSomethingElseIs146) {
    test::TempFolder temp;
    test::LogCapture log;
    const fs::path file = temp / "file";
    test::WriteFile(file, "x");
    FileOperations ops;
    EXPECT_EQ(ops.EnsureDirectory(W(file)), ErrorCode::DirectoryCreateFailed);
    EXPECT_EQ(ops.EnsureDirectory(W(file / "sub")), ErrorCode::DirectoryCreateFailed);
    EXPECT_EQ(test::ReadFile(file), "x");
    EXPECT_TRUE(FileEvents(log, "mkdir").empty());
}

TEST(FileOperationsTest, SetPermissions) {
    test::TempFolder temp;
    test::LogCapture log;
    const fs::path file = temp / "f";
    test::WriteFile(file, "x");
    FileOperations ops;
    ASSERT_EQ(ops.SetPermissions(W(file), true), ErrorCode::Success);
    EXPECT_EQ(fs::status(file).permissions() & (fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write),
              fs::perms::none);
    FileInfo info;
    ASSERT_EQ(ops.GetFileInfo(W(file), info), ErrorCode::Success);
    EXPECT_TRUE(info.readOnly);
    ASSERT_EQ(ops.SetPermissions(W(file), false), ErrorCode::Success);
    EXPECT_NE(fs::status(file).permissions() & fs::perms::owner_write, fs::perms::none);
    EXPECT_EQ(ops.SetPermissions(W(temp / "missing"), true), ErrorCode::FileNotFound);
    EXPECT_EQ(FileEvents(log, "GetFileAttributes").size(), 1u);
}

// ---------------------------------------------------------------------------------
// Copy.

class CopyTest : public ::testing::Test {
protected:
    fs::path MakeSource(uint64_t size, const std::string& name = "source.bin") {
        const fs::path source = temp_ / name;
        test::WritePatternFile(source, size, static_cast<uint32_t>(size));
        SetLastWriteTime(source, 1650000000);
        return source;
    }

    // Copies source into target.bin while `interfere` runs once, after the first MiB.
    ErrorCode CopyWhileChanged(const fs::path& source, bool verify, const std::function<void()>& interfere) {
        CopyOptions options;
        options.verifyHash = verify;
        options.progress = [&](uint64_t copied, uint64_t) {
            if (copied == 1048576) interfere();
            return true;
        };
        return FileOperations().Copy(W(source), W(temp_ / "target.bin"), options);
    }

    // Resizes the source while it is copied: the copy fails and leaves no target, or where
    // open files refuse writers, the resize is refused and the copy is whole.
    void ExpectResizeCaught(uint64_t newSize, bool verify) {
        const fs::path source = MakeSource(kTenMiB + 4096);
        const fs::path target = temp_ / "target.bin";
        test::LogCapture log;
        std::error_code resizeError;
        const ErrorCode result = CopyWhileChanged(source, verify, [&] { fs::resize_file(source, newSize, resizeError); });
        if (kOpenFilesRefuseWriters) {
            EXPECT_TRUE(resizeError) << newSize;
            EXPECT_EQ(result, ErrorCode::Success) << newSize;
            EXPECT_EQ(HashOf(target), HashOf(source));
            fs::remove(target);
            return;
        }
        EXPECT_EQ(result, ErrorCode::FileCopyFailed) << newSize;
        EXPECT_FALSE(fs::exists(target));
    }

    test::TempFolder temp_;
};

TEST_F(CopyTest, TenMiBGoesTheSinglePathVerifiedAndTimestamped) {
    const fs::path source = MakeSource(kTenMiB);
    const fs::path target = temp_ / "out" / "target.bin";
    test::LogCapture log;
    CopyOptions options;
    options.verifyHash = true;
    options.preserveTimestamps = true;
    options.createDirectories = true;
    int calls = 0;
    options.progress = [&](uint64_t, uint64_t) { return ++calls > 0; };
    ASSERT_EQ(FileOperations().Copy(W(source), W(target), options), ErrorCode::Success);
    EXPECT_EQ(HashOf(target), HashOf(source));
    EXPECT_EQ(LastWriteSeconds(target), 1650000000);
    EXPECT_EQ(calls, 0);  // the single path reports no progress
    const auto copies = FileEvents(log, "copy");
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(copies[0]["file_path"].asString(), U8(target));
    EXPECT_TRUE(log.EventsWhere("operation", "file_copy").empty());
    EXPECT_EQ(FileEvents(log, "mkdir").size(), 1u);
}

TEST_F(CopyTest, TenMiBPlusOneGoesTheChunkedPathVerifiedAndTimestamped) {
    const fs::path source = MakeSource(kTenMiB + 1);
    const fs::path target = temp_ / "target.bin";
    test::LogCapture log;
    CopyOptions options;
    options.verifyHash = true;
    options.preserveTimestamps = true;
    std::vector<std::pair<uint64_t, uint64_t>> calls;
    options.progress = [&](uint64_t copied, uint64_t total) {
        calls.emplace_back(copied, total);
        return true;
    };
    ASSERT_EQ(FileOperations().Copy(W(source), W(target), options), ErrorCode::Success);
    EXPECT_EQ(HashOf(target), HashOf(source));
    EXPECT_EQ(LastWriteSeconds(target), 1650000000);
    ASSERT_EQ(calls.size(), 11u);
    EXPECT_EQ(calls.front(), std::make_pair(uint64_t{1048576}, kTenMiB + 1));
    EXPECT_EQ(calls.back(), std::make_pair(kTenMiB + 1, kTenMiB + 1));
    const auto progress = log.EventsWhere("operation", "file_copy");
    ASSERT_EQ(progress.size(), 11u);
    EXPECT_EQ(progress.front()["progress"].asInt(), 9);
    EXPECT_EQ(progress.front()["details"].asString(), "Copied 1048576 bytes");
    EXPECT_EQ(progress.back()["progress"].asInt(), 100);
    EXPECT_EQ(progress.back()["details"].asString(), "Copied " + std::to_string(kTenMiB + 1) + " bytes");
    EXPECT_TRUE(FileEvents(log, "copy").empty());
}

TEST_F(CopyTest, EverySizeWithAndWithoutVerification) {
    FileOperations ops;
    test::LogCapture log;
    for (const uint64_t size : {uint64_t{0}, uint64_t{1}, uint64_t{1048576}, uint64_t{4 * 1048576 + 3},
                                uint64_t{12 * 1048576 + 5}}) {
        for (const bool verify : {false, true}) {
            const fs::path source = MakeSource(size, "s" + std::to_string(size));
            const fs::path target = temp_ / ("t" + std::to_string(size) + (verify ? "v" : ""));
            CopyOptions options;
            options.verifyHash = verify;
            std::string digest;
            options.copiedSha256 = &digest;
            ASSERT_EQ(ops.Copy(W(source), W(target), options), ErrorCode::Success) << size;
            EXPECT_EQ(fs::file_size(target), size);
            EXPECT_EQ(HashOf(target), HashOf(source)) << size;
            // The digest of the verified copy comes out of the same pass.
            EXPECT_EQ(digest, verify ? HashOf(target) : "") << size;
            // Timestamps only when asked (where the system's copy does not keep them anyway).
            EXPECT_EQ(LastWriteSeconds(target) == 1650000000, kSmallCopiesKeepTheirTime && size <= kTenMiB) << size;
        }
    }
}

TEST_F(CopyTest, CancelThroughTheCallbackLeavesNoTarget) {
    const fs::path source = MakeSource(kTenMiB + 1);
    const fs::path target = temp_ / "target.bin";
    test::LogCapture log;
    for (const bool verify : {false, true}) {
        CopyOptions options;
        options.verifyHash = verify;
        int calls = 0;
        options.progress = [&](uint64_t, uint64_t) { return ++calls < 3; };
        EXPECT_EQ(FileOperations().Copy(W(source), W(target), options), ErrorCode::Cancelled);
        EXPECT_EQ(calls, 3);
        EXPECT_FALSE(fs::exists(target));
    }
}

TEST_F(CopyTest, OverwriteRefused) {
    const fs::path source = MakeSource(100);
    const fs::path target = temp_ / "target.bin";
    test::WriteFile(target, "keep");
    test::LogCapture log;
    EXPECT_EQ(FileOperations().Copy(W(source), W(target), CopyOptions{}), ErrorCode::FileAccessDenied);
    EXPECT_EQ(test::ReadFile(target), "keep");
    EXPECT_TRUE(log.HasMessage("Target file exists and overwrite not allowed: " + U8(target)));

    CopyOptions overwrite;
    overwrite.overwrite = true;
    EXPECT_EQ(FileOperations().Copy(W(source), W(target), overwrite), ErrorCode::Success);
    EXPECT_EQ(HashOf(target), HashOf(source));
}

// The read-only attribute goes with the copy, and on Windows the hidden one too.
TEST_F(CopyTest, ACopyKeepsTheReadOnlyAndHiddenAttributes) {
    const fs::path source = MakeSource(100);
    const fs::path target = temp_ / "target.bin";
#ifdef _WIN32
    ASSERT_TRUE(::SetFileAttributesW(source.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    constexpr bool kHidden = true;
#else
    fs::permissions(source, fs::perms::owner_read | fs::perms::group_read);
    constexpr bool kHidden = false;
#endif
    test::LogCapture log;
    CopyOptions options;
    options.verifyHash = true;
    ASSERT_EQ(FileOperations().Copy(W(source), W(target), options), ErrorCode::Success);
    FileInfo info;
    ASSERT_EQ(FileOperations().GetFileInfo(W(target), info), ErrorCode::Success);
    EXPECT_TRUE(info.readOnly);
    EXPECT_EQ(info.hidden, kHidden);
    EXPECT_FALSE(info.system);
    EXPECT_EQ(HashOf(target), HashOf(source));
    // A read-only file is not copied over, as CopyFileExW refuses it.
    CopyOptions overwrite;
    overwrite.overwrite = true;
    EXPECT_EQ(FileOperations().Copy(W(MakeSource(50, "other")), W(target), overwrite), ErrorCode::FileAccessDenied);
    EXPECT_EQ(HashOf(target), HashOf(source));
}

TEST_F(CopyTest, ADanglingLinkAtTheTargetIsNotFollowedWithoutOverwrite) {
    const fs::path source = MakeSource(100);
    const fs::path target = temp_ / "target.bin";
    if (!test::MakeLink(temp_ / "elsewhere.bin", target, test::LinkKind::File)) GTEST_SKIP() << kNoLinks;
    test::LogCapture log;
    EXPECT_NE(FileOperations().Copy(W(source), W(target), CopyOptions{}), ErrorCode::Success);
    EXPECT_FALSE(fs::exists(temp_ / "elsewhere.bin"));
}

TEST_F(CopyTest, SameFileIsRefusedAndLeftIntact) {
    test::LogCapture log;
    for (const uint64_t size : {uint64_t{100}, kTenMiB + 1}) {
        const fs::path source = MakeSource(size);
        const std::string hash = HashOf(source);
        fs::create_hard_link(source, temp_ / "hard");
        std::vector<fs::path> targets{source, temp_ / "hard"};
        if (test::MakeLink(source, temp_ / "soft", test::LinkKind::File)) targets.push_back(temp_ / "soft");
        CopyOptions options;
        options.overwrite = true;
        options.verifyHash = true;
        for (const fs::path& target : targets) {
            EXPECT_EQ(FileOperations().Copy(W(source), W(target), options), ErrorCode::FileAccessDenied) << target;
            EXPECT_EQ(fs::file_size(source), size);
            EXPECT_EQ(HashOf(source), hash);
        }
        EXPECT_TRUE(fs::exists(temp_ / "hard"));
        fs::remove(temp_ / "hard");
        fs::remove(temp_ / "soft");
    }
}

TEST_F(CopyTest, TruncatedSourceIsDetected) {
    for (const bool verify : {false, true}) ExpectResizeCaught(2 * 1048576 + 5, verify);
}

TEST_F(CopyTest, AGrowingSourceIsDetected) { ExpectResizeCaught(kTenMiB + 8192, false); }

TEST_F(CopyTest, ATargetChangedBehindTheCopyFailsVerification) {
    const fs::path source = MakeSource(kTenMiB + 1);
    const fs::path target = temp_ / "target.bin";
    test::LogCapture log;
    bool opened = false;
    const auto writePastTheEnd = [&] {  // someone else writes past the end of the copy
        std::fstream other(target, std::ios::in | std::ios::out | std::ios::binary);
        if (!(opened = other.is_open())) return;
        other.seekp(static_cast<std::streamoff>(kTenMiB + 100));
        EXPECT_TRUE(other.write("junk", 4).flush().good());
    };
    const ErrorCode result = CopyWhileChanged(source, true, writePastTheEnd);
    if (kOpenFilesRefuseWriters) {  // nobody else opens the target for writing
        EXPECT_FALSE(opened);
        EXPECT_EQ(result, ErrorCode::Success);
        return;
    }
    EXPECT_TRUE(opened);
    EXPECT_EQ(result, ErrorCode::FileHashMismatch);
    EXPECT_FALSE(fs::exists(target));
    EXPECT_TRUE(log.HasMessage("Hash verification failed after copy"));
    EXPECT_EQ(FileEvents(log, "delete").size(), 1u);
}

TEST_F(CopyTest, AFailingExistenceTestThrowsExists) {
    const fs::path source = MakeSource(100);
    const fs::path loop = temp_ / "loop";
#ifdef _WIN32
    GTEST_SKIP() << "a link loop failing stat with ELOOP is Linux behaviour";
#endif
    fs::create_symlink(loop, loop);  // stat fails with ELOOP, not "not found"
    test::LogCapture log;
    try {
        FileOperations().Copy(W(source), W(loop), CopyOptions{});
        FAIL() << "no exception";
    } catch (const fs::filesystem_error& e) {
        EXPECT_NE(std::string(e.what()).find("exists"), std::string::npos) << e.what();
        EXPECT_EQ(e.path1(), loop);
    }
    CopyOptions create;
    create.createDirectories = true;
    EXPECT_THROW(FileOperations().Copy(W(source), W(loop / "x"), create), fs::filesystem_error);
}

// /proc/self/mem is a regular file whose first read fails (EIO: address 0 is not mapped).
// A small copy reports it as the one copy call it stands for, with the mapped code
// (EIO has no table entry of its own: InternalError).
TEST_F(CopyTest, AReadErrorFailsTheCopyAndRemovesTheTarget) {
#ifdef _WIN32
    GTEST_SKIP() << "reads /proc/self/mem, a Linux file whose reads fail";
#endif
    const fs::path target = temp_ / "target.bin";
    for (const bool verify : {false, true}) {
        test::LogCapture log;
        CopyOptions options;
        options.verifyHash = verify;
        EXPECT_EQ(FileOperations().Copy(L"/proc/self/mem", W(target), options), ErrorCode::InternalError);
        EXPECT_FALSE(fs::exists(target));
        EXPECT_EQ(FileEvents(log, "CopyFileEx").size(), 1u);
        EXPECT_TRUE(FileEvents(log, "copy").empty());
    }
}

TEST(FileOperationsTest, AReadErrorFailsTheHash) {
#ifdef _WIN32
    GTEST_SKIP() << "reads /proc/self/mem, a Linux file whose reads fail";
#endif
    test::LogCapture log;
    std::string hex = "untouched";
    EXPECT_EQ(FileOperations().CalculateSha256(L"/proc/self/mem", hex), ErrorCode::HashCalculationFailed);
    EXPECT_EQ(hex, "untouched");
    EXPECT_EQ(FileEvents(log, "ReadFile").size(), 1u);
}

TEST_F(CopyTest, MissingSource) {
    test::LogCapture log;
    const fs::path target = temp_ / "target.bin";
    EXPECT_EQ(FileOperations().Copy(W(temp_ / "missing"), W(target), CopyOptions{}), ErrorCode::FileNotFound);
    EXPECT_FALSE(fs::exists(target));
    // The look-up's failure and the copy's own, each an ERROR line and an event.
    EXPECT_EQ(FileEvents(log, "GetFileAttributesEx").size(), 1u);
    EXPECT_EQ(FileEvents(log, "CopyFileEx").size(), 1u);
}

TEST_F(CopyTest, MissingTargetFolderWithoutCreateDirectories) {
    const fs::path source = MakeSource(100);
    test::LogCapture log;
    EXPECT_EQ(FileOperations().Copy(W(source), W(temp_ / "no" / "t"), CopyOptions{}), ErrorCode::FileNotFound);
    EXPECT_EQ(FileEvents(log, "CopyFileEx").size(), 1u);
}

TEST_F(CopyTest, AFolderAsSourceIsRefused) {
    fs::create_directories(temp_ / "dir");
    test::LogCapture log;
    EXPECT_EQ(FileOperations().Copy(W(temp_ / "dir"), W(temp_ / "t"), CopyOptions{}), ErrorCode::FileAccessDenied);
    EXPECT_FALSE(fs::exists(temp_ / "t"));
}

// ---------------------------------------------------------------------------------
// RemoveDirectoryTree.

class RemoveTreeTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = temp_ / "root";
        outside_ = temp_ / "outside";
        test::WriteFile(root_ / "a.txt", "a");
        test::WriteFile(root_ / "one" / "b.txt", "b");
        test::WriteFile(root_ / "one" / "c.txt", "c");
        test::WriteFile(root_ / "two" / "d.txt", "d");
        test::WriteFile(root_ / "two" / "deep" / "e.txt", "e");
        fs::create_directories(root_ / "empty");
        test::WriteFile(outside_ / "b.txt", "outside b");
        test::WriteFile(outside_ / "d.txt", "outside d");
        test::WriteFile(outside_ / "deep" / "e.txt", "outside e");
        outsideBefore_ = test::SnapshotTree(outside_);
    }

    void ExpectOutsideUnchanged() { EXPECT_EQ(test::SnapshotTree(outside_), outsideBefore_); }

    test::TempFolder temp_;
    fs::path root_;
    fs::path outside_;
    test::TreeSnapshot outsideBefore_;
};

TEST_F(RemoveTreeTest, RemovesEverythingAndCounts) {
    test::LogCapture log;
    int32_t files = 7;  // only ever incremented
    int32_t folders = 0;
    ASSERT_EQ(FileOperations().RemoveDirectoryTree(W(root_), true, &files, &folders), ErrorCode::Success);
    EXPECT_FALSE(fs::exists(root_));
    EXPECT_EQ(files, 7 + 5);
    EXPECT_EQ(folders, 5);  // one, two, two/deep, empty and the root
    const auto deletes = FileEvents(log, "delete");
    EXPECT_EQ(deletes.size(), 10u);
    for (const Json::Value& event : deletes) EXPECT_TRUE(event["success"].asBool());
    EXPECT_EQ(deletes.back()["file_path"].asString(), U8(root_));
    ExpectOutsideUnchanged();
}

TEST_F(RemoveTreeTest, NullCountersAreSkipped) {
    test::LogCapture log;
    EXPECT_EQ(FileOperations().RemoveDirectoryTree(W(root_), true), ErrorCode::Success);
    EXPECT_FALSE(fs::exists(root_));
}

TEST_F(RemoveTreeTest, AMissingFolderIsSuccessWithoutEvents) {
    test::LogCapture log;
    int32_t files = 0;
    int32_t folders = 0;
    EXPECT_EQ(FileOperations().RemoveDirectoryTree(W(temp_ / "missing"), true, &files, &folders), ErrorCode::Success);
    EXPECT_EQ(FileOperations().RemoveDirectoryTree(W(temp_ / "missing" / "x"), false), ErrorCode::Success);
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_EQ(files + folders, 0);
}

TEST_F(RemoveTreeTest, NotRecursive) {
    test::LogCapture log;
    int32_t folders = 0;
    EXPECT_EQ(FileOperations().RemoveDirectoryTree(W(root_), false, nullptr, &folders),
              ErrorCode::DirectoryAccessDenied);
    EXPECT_TRUE(fs::exists(root_ / "a.txt"));
    EXPECT_EQ(folders, 0);
    auto deletes = FileEvents(log, "delete");
    ASSERT_EQ(deletes.size(), 1u);
    EXPECT_FALSE(deletes[0]["success"].asBool());
    EXPECT_EQ(deletes[0]["system_error_code"].asUInt(), 145u);

    EXPECT_EQ(FileOperations().RemoveDirectoryTree(W(root_ / "empty"), false, nullptr, &folders), ErrorCode::Success);
    EXPECT_FALSE(fs::exists(root_ / "empty"));
    EXPECT_EQ(folders, 1);
}

TEST_F(RemoveTreeTest, ARootThatIsALinkOrAFileIsRefused) {
    if (!test::MakeLink(outside_, temp_ / "link", test::LinkKind::Folder)) GTEST_SKIP() << kNoLinks;
    test::LogCapture log;
    int32_t files = 0;
    int32_t folders = 0;
    FileOperations ops;
    EXPECT_EQ(ops.RemoveDirectoryTree(W(temp_ / "link"), true, &files, &folders), ErrorCode::DirectoryAccessDenied);
    EXPECT_EQ(ops.RemoveDirectoryTree(W(outside_ / "b.txt"), true, &files, &folders), ErrorCode::DirectoryAccessDenied);
    const auto deletes = FileEvents(log, "delete");
    ASSERT_EQ(deletes.size(), 2u);
    EXPECT_EQ(deletes[0]["system_error_code"].asUInt(), 5u);
    EXPECT_EQ(deletes[1]["system_error_code"].asUInt(), 5u);
    EXPECT_TRUE(IsLink(temp_ / "link"));
    EXPECT_EQ(files + folders, 0);
    ExpectOutsideUnchanged();
}

TEST_F(RemoveTreeTest, LinksInsideTheTreeGoAsLinks) {
    if (!test::MakeLink(outside_, root_ / "dir-link", test::LinkKind::Folder)) GTEST_SKIP() << kNoLinks;
    ASSERT_TRUE(test::MakeLink(outside_ / "b.txt", root_ / "one" / "file-link", test::LinkKind::File));
    ASSERT_TRUE(test::MakeLink(temp_ / "nowhere", root_ / "dangling", test::LinkKind::File));
    test::LogCapture log;
    int32_t files = 0;
    int32_t folders = 0;
    ASSERT_EQ(FileOperations().RemoveDirectoryTree(W(root_), true, &files, &folders), ErrorCode::Success);
    EXPECT_FALSE(fs::exists(root_));
    EXPECT_EQ(files, 5 + 3);
    EXPECT_EQ(folders, 5);
    ExpectOutsideUnchanged();
}

TEST_F(RemoveTreeTest, ReadOnlyFilesAndFoldersAreRemoved) {
    fs::permissions(root_ / "a.txt", fs::perms::owner_read);
    fs::permissions(root_ / "two" / "deep" / "e.txt", fs::perms::none);
    fs::permissions(root_ / "empty", fs::perms::owner_read | fs::perms::owner_exec);
    test::LogCapture log;
    int32_t files = 0;
    ASSERT_EQ(FileOperations().RemoveDirectoryTree(W(root_), true, &files), ErrorCode::Success);
    EXPECT_FALSE(fs::exists(root_));
    EXPECT_EQ(files, 5);
}

// The form for the programs' own folders: the same removal, not a line in the log.
TEST_F(RemoveTreeTest, WithoutEventsWritesNothing) {
    fs::permissions(root_ / "a.txt", fs::perms::owner_read);
    test::MakeLink(outside_, root_ / "dir-link", test::LinkKind::Folder);  // none under Wine
    test::LogCapture log;
    EXPECT_EQ(RemoveTreeWithoutEvents(W(root_)), 0u);
    EXPECT_FALSE(fs::exists(root_));
    EXPECT_EQ(RemoveTreeWithoutEvents(W(temp_ / "missing")), 0u);
    {
        test::UndeletableFile held((fs::create_directories(root_), root_));
        EXPECT_NE(RemoveTreeWithoutEvents(W(root_)), 0u);
        EXPECT_TRUE(fs::exists(root_));
    }
    EXPECT_TRUE(log.Lines().empty());
    ExpectOutsideUnchanged();
}

TEST_F(RemoveTreeTest, BackslashesAndATrailingSeparatorInThePath) {
    std::wstring path = W(root_) + L"/";
    std::replace(path.begin(), path.end(), L'/', L'\\');
    test::LogCapture log;
    ASSERT_EQ(FileOperations().RemoveDirectoryTree(path, true), ErrorCode::Success);
    EXPECT_FALSE(fs::exists(root_));
}

TEST_F(RemoveTreeTest, ASubfolderReplacedByALinkAfterTheScanStopsTheRemoval) {
    // At the first deletion (the walk is done by then) "two" becomes a link to the
    // outside folder, which holds files of the same names.
    if (!test::MakeLink(outside_, temp_ / "two-link", test::LinkKind::Folder)) GTEST_SKIP() << kNoLinks;
    bool swapped = false;
    EventHook hook([&](const Json::Value& event) {
        if (swapped || event.get("operation", "").asString() != "file:delete") return;
        swapped = true;
        fs::rename(root_ / "two", temp_ / "moved-two");
        fs::rename(temp_ / "two-link", root_ / "two");
    });
    int32_t files = 0;
    int32_t folders = 0;
    EXPECT_EQ(FileOperations().RemoveDirectoryTree(W(root_), true, &files, &folders), ErrorCode::DirectoryAccessDenied);
    ASSERT_TRUE(swapped);
    ExpectOutsideUnchanged();
    EXPECT_TRUE(fs::exists(temp_ / "moved-two" / "d.txt"));
    EXPECT_TRUE(fs::exists(temp_ / "moved-two" / "deep" / "e.txt"));
    EXPECT_TRUE(IsLink(root_ / "two"));
    EXPECT_EQ(folders, 0);
    EXPECT_LT(files, 5);

    const auto deletes = FileEvents(hook.Events(), "delete");
    ASSERT_FALSE(deletes.empty());
    EXPECT_FALSE(deletes.back()["success"].asBool());
    EXPECT_EQ(deletes.back()["system_error_code"].asUInt(), 5u);
    int successes = 0;
    for (const Json::Value& event : deletes) successes += event["success"].asBool() ? 1 : 0;
    EXPECT_EQ(successes, files);  // the counters hold what was deleted up to the stop
}

TEST_F(RemoveTreeTest, TheRootRenamedAfterPinningStopsTheRemoval) {
    if (!test::MakeLink(outside_, temp_ / "root-link", test::LinkKind::Folder)) GTEST_SKIP() << kNoLinks;
    bool swapped = false;
    EventHook hook([&](const Json::Value& event) {
        if (swapped || event.get("operation", "").asString() != "file:delete") return;
        swapped = true;
        fs::rename(root_, temp_ / "renamed");
        fs::rename(temp_ / "root-link", root_);
    });
    EXPECT_EQ(FileOperations().RemoveDirectoryTree(W(root_), true), ErrorCode::DirectoryAccessDenied);
    ASSERT_TRUE(swapped);
    ExpectOutsideUnchanged();
    EXPECT_EQ(test::SnapshotTree(temp_ / "renamed").size(), 9u - 1);  // only the first file went
}

// Windows holds the root without delete sharing for the whole removal: it cannot be
// renamed meanwhile. On Linux it can, and the removal stops at the next item.
TEST_F(RemoveTreeTest, TheRootRenamedDuringTheRemovalIsHeldOrStopsIt) {
    bool tried = false;
    std::error_code renamed;
    EventHook hook([&](const Json::Value& event) {
        if (tried || event.get("operation", "").asString() != "file:delete") return;
        tried = true;
        fs::rename(root_, temp_ / "renamed", renamed);
    });
    const ErrorCode result = FileOperations().RemoveDirectoryTree(W(root_), true);
    ASSERT_TRUE(tried);
#ifdef _WIN32
    EXPECT_TRUE(renamed);
    EXPECT_EQ(result, ErrorCode::Success);
    EXPECT_FALSE(fs::exists(root_));
    EXPECT_FALSE(fs::exists(temp_ / "renamed"));
#else
    ASSERT_FALSE(renamed) << renamed.message();
    EXPECT_EQ(result, ErrorCode::DirectoryAccessDenied);
    EXPECT_EQ(test::SnapshotTree(temp_ / "renamed").size(), 9u - 1);  // only the first file went
#endif
    ExpectOutsideUnchanged();
}

TEST_F(RemoveTreeTest, EntriesThatVanishAreSkipped) {
    // At the first deletion every other file and the empty folder go away behind its back.
    bool removed = false;
    std::string first;
    EventHook hook([&](const Json::Value& event) {
        if (removed || event.get("operation", "").asString() != "file:delete") return;
        removed = true;
        first = event["file_path"].asString();
        for (const char* name : {"a.txt", "one/b.txt", "one/c.txt", "two/d.txt", "two/deep/e.txt"}) {
            if (U8(root_ / name) != first) fs::remove(root_ / name);
        }
        fs::remove(root_ / "empty");
    });
    int32_t files = 0;
    int32_t folders = 0;
    EXPECT_EQ(FileOperations().RemoveDirectoryTree(W(root_), true, &files, &folders), ErrorCode::Success);
    EXPECT_FALSE(fs::exists(root_));
    EXPECT_EQ(files, 1);
    EXPECT_EQ(folders, 4);  // one, two, two/deep and the root
    int notFound = 0;
    for (const Json::Value& event : FileEvents(hook.Events(), "delete")) {
        if (!event["success"].asBool()) {
            EXPECT_EQ(event["system_error_code"].asUInt(), 2u);
            ++notFound;
        }
    }
    EXPECT_EQ(notFound, 5);
}

TEST_F(RemoveTreeTest, ATreeDeeperThanAnyPathTheSystemReadsBackIsRemoved) {
#ifdef _WIN32
    GTEST_SKIP() << "a tree this deep is made and shown on Linux";
#else
    // 5,000 folders "d" in a chain: the deeper half lies beyond PATH_MAX, where no final
    // path can be read back; each is made relative to the one above.
    constexpr int kDepth = 5000;
    platform::UniqueFd folder(::open(root_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    for (int i = 0; i < kDepth; ++i) {
        ASSERT_EQ(::mkdirat(folder.get(), "d", 0755), 0) << i;
        folder.reset(::openat(folder.get(), "d", O_PATH | O_DIRECTORY | O_CLOEXEC));
        ASSERT_TRUE(folder.valid()) << i;
    }
    ASSERT_TRUE(platform::UniqueFd(::openat(folder.get(), "bottom.txt", O_WRONLY | O_CREAT | O_CLOEXEC, 0444)).valid());
    folder.reset();
    ASSERT_EQ(RemoveTreeWithoutEvents(W(root_)), 0u);
    EXPECT_FALSE(fs::exists(root_));
    ExpectOutsideUnchanged();
#endif
}

TEST_F(RemoveTreeTest, ANameThatIsNotUtf8StopsTheRemovalBeforeAnythingGoes) {
#ifdef _WIN32
    GTEST_SKIP() << "names on disk that are not valid text exist on Linux only";
#else
    const fs::path bad = root_ / "one" / std::string("bad\xFF\xFE.txt");
    test::WriteFile(bad, "x");
    fs::create_directory_symlink(outside_, root_ / "two" / "link");
    const test::TreeSnapshot rootBefore = test::SnapshotTree(root_);
    test::LogCapture log;
    int32_t files = 0;
    int32_t folders = 0;
    EXPECT_EQ(FileOperations().RemoveDirectoryTree(W(root_), true, &files, &folders), ErrorCode::DirectoryAccessDenied);
    EXPECT_EQ(test::SnapshotTree(root_), rootBefore);
    ExpectOutsideUnchanged();
    EXPECT_EQ(files + folders, 0);
    const auto deletes = FileEvents(log, "delete");
    ASSERT_EQ(deletes.size(), 1u);
    EXPECT_EQ(deletes[0]["system_error_code"].asUInt(), 123u);
#endif
}

TEST_F(RemoveTreeTest, UnsafeNamesOnDiskStopTheRemoval) {
#ifdef _WIN32
    GTEST_SKIP() << "names holding a backslash, a colon, a control character, a trailing dot or a device name "
                    "can be made on Linux only";
#endif
    for (const std::string name : {"back\\slash", "nul.txt", "trailing.", "a:b", "ctl\x01"}) {
        test::WriteFile(root_ / "one" / name, "x");
        const test::TreeSnapshot rootBefore = test::SnapshotTree(root_);
        test::LogCapture log;
        EXPECT_EQ(FileOperations().RemoveDirectoryTree(W(root_), true), ErrorCode::DirectoryAccessDenied) << name;
        EXPECT_EQ(test::SnapshotTree(root_), rootBefore) << name;
        fs::remove(root_ / "one" / name);
    }
    ExpectOutsideUnchanged();
}

TEST_F(RemoveTreeTest, ARemovalThatStopsLeavesTheCountersAtWhatWasDeleted) {
#ifdef _WIN32
    GTEST_SKIP() << "needs Linux mount namespaces";
#else
    // A mount point cannot be removed (EBUSY); the mounted files are never entered.
    // Runs in a child process with its own mount namespace.
    const fs::path mountPoint = root_ / "two" / "mounted";
    fs::create_directories(mountPoint);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int status = 0;
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount(outside_.c_str(), mountPoint.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            ::_exit(100);  // no mount namespaces here
        }
        test::LogCapture log;
        int32_t files = 0;
        int32_t folders = 0;
        const ErrorCode result = FileOperations().RemoveDirectoryTree(W(root_), true, &files, &folders);
        if (result != ErrorCode::DirectoryAccessDenied) status |= 1;
        if (test::SnapshotTree(mountPoint) != outsideBefore_) status |= 2;  // nothing inside the mount touched
        if (files != 5) status |= 4;                                         // every file went
        int successes = 0;
        for (const Json::Value& event : FileEvents(log, "delete")) successes += event["success"].asBool() ? 1 : 0;
        if (successes != files + folders) status |= 8;
        ::umount2(mountPoint.c_str(), MNT_DETACH);
        ::_exit(status);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 100) GTEST_SKIP() << "mount namespaces are not available";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ExpectOutsideUnchanged();
    EXPECT_TRUE(fs::exists(mountPoint));
#endif
}

TEST_F(RemoveTreeTest, AMountedRootIsRefused) {
#ifdef _WIN32
    GTEST_SKIP() << "needs Linux mount namespaces";
#else
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("none", root_.c_str(), "tmpfs", 0, nullptr) != 0) {
            ::_exit(100);
        }
        test::WriteFile(root_ / "in-tmpfs.txt", "x");
        test::LogCapture log;
        const ErrorCode result = FileOperations().RemoveDirectoryTree(W(root_), true);
        int status = result == ErrorCode::DirectoryAccessDenied ? 0 : 1;
        if (!fs::exists(root_ / "in-tmpfs.txt")) status |= 2;
        ::umount2(root_.c_str(), MNT_DETACH);
        ::_exit(status);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 100) GTEST_SKIP() << "mount namespaces are not available";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(fs::exists(root_ / "a.txt"));
#endif
}

}  // namespace
}  // namespace zuvelo
