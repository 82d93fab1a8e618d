#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/error_codes.h"
#include "common/http_client.h"
#include "install/prerequisite_table.h"
#include "platform/system_information.h"

namespace zuvelo {

// What the programs leave at its defaults and tests shorten or replace.
struct PrereqInstallerOptions {
    std::filesystem::path downloadDirectory;  // empty: the temporary folder joined with "ZuveloPrereqs"
    std::shared_ptr<platform::SystemInformation> system;  // empty: this machine
    HttpClient::Tuning http{};
    std::chrono::milliseconds installerTimeout{900000};
    std::chrono::milliseconds commandTimeout{30000};
    std::chrono::milliseconds retryPause{5000};
    std::function<void(std::chrono::milliseconds)> sleep{};  // retry pauses
};

// Makes sure the runtimes the client needs are present: checks the machine,
// detects what is installed, downloads what is missing, runs the installers
// silently and checks again. Built for one run; its log lines carry the
// component "PrereqInstaller". Destroying it removes its download folder.
class PrereqInstaller {
public:
    explicit PrereqInstaller(std::wstring cdnUrl, PrereqInstallerOptions options = {});
    ~PrereqInstaller();
    PrereqInstaller(const PrereqInstaller&) = delete;
    PrereqInstaller& operator=(const PrereqInstaller&) = delete;

    // --- The flow ---
    // Initialise, check the machine, detect, download, install, verify: 0, 104
    // when nothing is missing (nothing downloaded), 103 when something is still
    // missing afterwards, or the code of the first failing step.
    ErrorCode InstallPrerequisites();
    // Rebuilds the table and opens the HTTP client.
    ErrorCode Initialize();
    void BuildPrerequisiteTable();
    // Elevation, 1 GiB free in the temporary folder, Windows 6.1 or later, x64:
    // 0, 2, 148 or 4.
    ErrorCode ValidateSystemRequirements();
    // Detects every row, stores the answers and reports each: 0 when a required
    // one is missing, 104 when none is, or the code of a failed detection.
    ErrorCode CheckPrerequisiteStatus();
    // VerifyVersionInfoW with major, minor and service pack 0, all at least.
    bool IsWindowsVersionOrGreater(uint32_t major, uint32_t minor) const;

    // --- Detection (never changes the machine) ---
    // 0 with the answer, or 1 for an unknown type.
    ErrorCode DetectPrerequisite(PrerequisiteType type, bool& installed, std::wstring& version);
    ErrorCode DetectVcRedist(bool& installed, std::wstring& version);
    ErrorCode DetectDotNetRuntime(bool& installed, std::wstring& version);
    ErrorCode DetectDirectX(bool& installed, std::wstring& version);
    ErrorCode DetectWindowsSdk(bool& installed, std::wstring& version);
    // A REG_SZ or REG_EXPAND_SZ (unexpanded) value below HKEY_LOCAL_MACHINE, up
    // to its first NUL: 0, 181 no key, 182 no value or not a string, 180 otherwise.
    static ErrorCode ReadRegistryString(const std::wstring& keyPath, const std::wstring& valueName, std::wstring& out);
    // "a.b.c.d" of the file's fixed file version: 0 or 140.
    static ErrorCode GetFileVersionString(const std::filesystem::path& file, std::wstring& out);
    // The "."-separated components as string-to-int reads them (0 when there is
    // no number or it does not fit), padded with zeros to four.
    static std::vector<int32_t> ParseVersion(const std::wstring& version);
    // -1, 0 or 1 over the shorter sequence (at least four components); returns 0.
    static ErrorCode CompareVersions(const std::wstring& a, const std::wstring& b, int& result);

    // --- Download ---
    // Every required, missing row into the download folder: 0, or the first failure.
    ErrorCode DownloadMissingPrerequisites();
    // The row's installer from its address (or the root's "prerequisites/"),
    // made runnable: 0, 1 for a type not in the table, or DownloadWithRetry's code.
    ErrorCode DownloadPrerequisite(PrerequisiteType type, const std::filesystem::path& destination);
    // Three attempts, resuming from the second, each checked against the hash:
    // 0 or 161. With a hash, a partial file of at least expectedSize is checked
    // or deleted before it is resumed (without one the size is only an estimate
    // and the file is resumed); a partial the server will not resume is deleted.
    ErrorCode DownloadWithRetry(const std::wstring& url, const std::filesystem::path& destination,
                                const std::string& expectedSha256, std::optional<uint64_t> expectedSize = {});
    // The file's SHA-256 against the expected one (any case); an empty expectation
    // passes with a WARNING. digest, when given, is the file's digest already taken.
    bool ValidateDownload(const std::filesystem::path& file, const std::string& expectedSha256,
                          const std::string& digest = "");
    // Removes the download folder when it is this run's: 0, or 147 when it cannot be removed.
    ErrorCode CleanupDownloadDirectory();

    // --- Installation ---
    // Runs the installer of every required, missing row: 0 or the first failure
    // (141 when an installer is not there).
    ErrorCode InstallDownloadedPrerequisites();
    // The type's installer with its silent switches; the exit code mapped.
    ErrorCode InstallPrerequisite(PrerequisiteType type, const std::filesystem::path& installer);
    ErrorCode InstallDotNetRuntime(const std::filesystem::path& installer);
    ErrorCode InstallDirectX(const std::filesystem::path& installer);
    ErrorCode InstallWindowsSdk(const std::filesystem::path& installer);
    // Opens the installer once without following a link, checks its hash when
    // one is expected (142 on a mismatch) and runs that open file with the
    // arguments, waiting up to the installer time-out: 0 with its exit code, 6
    // when it ran too long (it and everything it started are ended), 4 when it
    // cannot be started or waited for.
    ErrorCode RunInstaller(const std::filesystem::path& installer, const std::wstring& arguments,
                           const std::string& expectedSha256, uint32_t& exitCode);
    // Runs the command through the shell, output and errors collected, all within
    // the command time-out: 0 with output and exit code, 6 when it ran too long
    // (ended with everything it started), 4 when it cannot be started.
    ErrorCode RunCommand(const std::wstring& command, std::wstring& output, uint32_t& exitCode);
    // 0 and 3010 succeed; 1618 (102) and 1633 (4) for Visual C++, 0x80070005 (2)
    // and 0x80072F76 (160) for .NET; anything else is 102 with an ERROR line.
    static ErrorCode MapInstallerExitCode(PrerequisiteType type, uint32_t exitCode);
    // Deletes the type's installer file; a failure is only a WARNING. Returns 0.
    ErrorCode CleanupFailedInstallation(PrerequisiteType type);

    const std::filesystem::path& DownloadDirectory() const { return downloadDirectory_; }
    // The table as built and as the status check left it (tests adjust rows).
    std::vector<PrerequisiteInfo>& Prerequisites() { return prerequisites_; }

private:
    const PrerequisiteInfo* FindRow(PrerequisiteType type) const;
    // The INFO line, the installer with its switches, the exit code mapped.
    ErrorCode RunSilentInstaller(PrerequisiteType type, const char* message, const std::filesystem::path& installer,
                                 const std::wstring& arguments);
    ErrorCode PrepareDownloadDirectory();
    // One download attempt (resuming a partial file when asked): true when the
    // destination then holds the validated file. A file that fails is deleted.
    bool TryDownload(const std::wstring& url, const std::filesystem::path& destination,
                     const std::string& expectedSha256, std::optional<uint64_t> expectedSize, bool resume);
    // Compares without regard to case: DEBUG on a match, the mismatch's ERROR line otherwise.
    static bool MatchesExpectedHash(const std::string& expectedSha256, const std::string& actual);
    void Sleep(std::chrono::milliseconds pause) const;

    std::wstring cdnUrl_;
    std::filesystem::path downloadDirectory_;
    HttpClient httpClient_;
    std::vector<PrerequisiteInfo> prerequisites_;
    PrereqInstallerOptions options_;
    std::shared_ptr<platform::SystemInformation> system_;
};

}  // namespace zuvelo
