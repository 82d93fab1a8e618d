#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/error_codes.h"

namespace zuvelo {

struct FileInfo {
    std::wstring path;
    uint64_t size = 0;
    int64_t lastWriteTime = 0;  // seconds since 1970 (local-time round trip) x 10,000,000
    std::string sha256;         // 64 lower-case hex digits; empty for an empty file
    bool exists = false;
    bool readOnly = false;
    bool hidden = false;
    bool system = false;
};

// Receives bytes copied and total bytes; returning false cancels.
using CopyProgressCallback = std::function<bool(uint64_t copied, uint64_t total)>;

struct CopyOptions {
    bool overwrite = false;
    bool preserveTimestamps = false;
    bool verifyHash = false;
    bool createDirectories = false;
    CopyProgressCallback progress;
    // With verifyHash: receives the SHA-256 of the copy as read back from the
    // target, so callers can check it against an expected digest without a
    // second read.
    std::string* copiedSha256 = nullptr;
};

// Stateless toolbox for single files and folders; created on the caller's stack.
class FileOperations {
public:
    static constexpr uint64_t kChunkedCopyThreshold = 10ull * 1024 * 1024;
    static constexpr size_t kIoBlockSize = 1024 * 1024;

    ErrorCode GetFileInfo(const std::wstring& path, FileInfo& info);
    // The size and SHA-256 that GetFileInfo gives, of a regular file already open
    // (never reopened by name; shownPath names it), with GetFileInfo's messages:
    // sha256 stays empty for an empty file, and when hashing failed (a WARNING).
    ErrorCode GetOpenFileDigest(int file, const std::wstring& shownPath, uint64_t& size, std::string& sha256);
    ErrorCode CalculateSha256(const std::wstring& path, std::string& hexOut);
    // The digest of the rest of the file open as file (read from its current
    // offset); shownPath names it in messages.
    ErrorCode CalculateSha256Of(int file, const std::wstring& shownPath, std::string& hexOut);
    ErrorCode Copy(const std::wstring& source, const std::wstring& target, const CopyOptions& options);
    ErrorCode Delete(const std::wstring& path);
    ErrorCode EnsureDirectory(const std::wstring& path);
    ErrorCode SetPermissions(const std::wstring& path, bool readOnly);
    ErrorCode VerifyFileIntegrity(const std::wstring& path, const std::string& expectedHex);
    // VerifyFileIntegrity of a file already open (never reopened by name).
    ErrorCode VerifyOpenFileIntegrity(int file, const std::wstring& shownPath, const std::string& expectedHex);
    // VerifyFileIntegrity for a file whose digest was taken while it was written:
    // the same comparison and messages, without reading the file again.
    ErrorCode VerifyFileDigest(const std::wstring& path, const std::string& expectedHex, const std::string& actualHex);
    // Authenticode check of a PE file against the machine's code-signing roots; a
    // failure is 200, with the WinVerifyTrust number in its ERROR line.
    ErrorCode VerifyFileSignature(const std::wstring& path);
    // The handle-verified removal of tree_removal.h (defined there).
    // filesRemoved/foldersRemoved are only ever incremented (the root counts as a folder).
    // keepEntries: names of entries right inside the folder (compared as the file
    // system compares names) that stay, with everything in them; when one of them
    // is there, so does the folder itself.
    ErrorCode RemoveDirectoryTree(const std::wstring& path, bool recursive,
                                  int32_t* filesRemoved = nullptr, int32_t* foldersRemoved = nullptr,
                                  const std::vector<std::string>& keepEntries = {});

    static ErrorCode MapWin32Error(uint32_t win32Code);
    static void LogFileError(const std::string& operation, const std::wstring& path, uint32_t win32Code) noexcept;
};

}  // namespace zuvelo
