#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <json/value.h>

#include "common/error_codes.h"
#include "common/http_client.h"
#include "manifest/crypto_verifier.h"
#include "manifest/prepared_session.h"
#include "manifest/target_folder.h"
#include "manifest/trusted_keys.h"
#include "manifest/update_manifest.h"
#include "platform/file_lock.h"
#include "platform/system_information.h"

namespace zuvelo {

// Progress figures of one application; times in 100-ns ticks of the system clock.
struct ManifestProgress {
    int32_t totalFiles = 0;
    int32_t processedFiles = 0;
    uint64_t totalBytes = 0;
    uint64_t processedBytes = 0;
    double overallPercent = 0.0;
    std::string currentFile;
    uint64_t currentFileTotal = 0;
    uint64_t currentFileBytes = 0;
    double currentFilePercent = 0.0;
    int64_t startTime = 0;
    double bytesPerSecond = 0.0;
    uint64_t estimatedRemainingMs = 0;
};

// What the programs leave at its defaults and tests shorten or replace.
struct ManifestHandlerOptions {
    std::filesystem::path cacheDir;  // empty: the temporary folder joined with "ZuveloCache"
    std::vector<std::string> trustedPublicKeys = BuildManifestPublicKeys();
    HttpClient::Tuning http{};
    std::function<void(std::chrono::milliseconds)> sleep{};             // retry pauses
    std::function<std::chrono::system_clock::time_point()> now{};       // expiry, backup IDs, progress
    std::function<std::chrono::steady_clock::time_point()> monotonicNow{};  // 2-second report spacing
    std::shared_ptr<platform::SystemInformation> system{};                  // free space; empty: this machine
    // The update lock of the run the application belongs to (a plan's), taken
    // here unless already held, and released by its owner; null: one of its own.
    platform::FileLock* updateLock = nullptr;
};

// What installing a file proves about the bytes it copies into the staged file.
enum class InstallCheck {
    // From this run's own cache (private to it, under the update lock), every file
    // verified by VerifyAllFiles in this run: the staged file's size is checked and
    // the copy is the system's, with no second digest.
    VerifiedCache,
    // The digest taken while copying must be the entry's.
    Digest,
    // The same for a source not checked before, with the messages of verifying it.
    VerifyWhileCopying,
};

// Brings an installation folder up to the state an update manifest describes.
// Created for one application and destroyed after it; all its log lines carry
// the component "ManifestHandler".
class ManifestHandler {
public:
    using ProgressCallback = std::function<bool(const ManifestProgress&)>;

    explicit ManifestHandler(std::wstring cdnBaseUrl, ManifestHandlerOptions options = {});
    ~ManifestHandler();
    ManifestHandler(const ManifestHandler&) = delete;
    ManifestHandler& operator=(const ManifestHandler&) = delete;

    // The cache in the temporary folder ($TMPDIR, else /tmp).
    static std::filesystem::path DefaultCacheDir();

    ErrorCode Initialize();
    ErrorCode ApplyManifest(const std::wstring& manifestUrl, const std::wstring& targetPath);
    ErrorCode ApplyPreparedSession(const std::wstring& manifestUrl, const std::wstring& targetPath,
                                   const std::wstring& sessionRoot, const std::wstring& filesManifestPath);

    // --- Parsing and validation ---
    // Text to record, either dialect: 0, 121 (text or JSON unusable) or 123 (a
    // rule broken). JsonCpp conversion errors (a member of the wrong type) leave
    // as exceptions, which the command or plan handler turns into 4.
    static ErrorCode ParseManifestJson(const std::string& text, UpdateManifest& manifest);
    static ErrorCode ParseFileEntry(const Json::Value& file, ManifestFileEntry& entry);
    // Path, hash (lower-cased) and URL from their alternative keys; string values only.
    static void ExtractFileFields(const Json::Value& file, ManifestFileEntry& entry);
    // An asset-dialect entry rewritten as a legacy file object.
    static Json::Value AssetToFileObject(const Json::Value& asset);
    // Structure, types and limits of the document: 0 or 123.
    static ErrorCode ValidateManifestSchema(const Json::Value& document);
    // Content of the record, then its signature: 0, 122 or 123.
    ErrorCode ValidateManifest(const UpdateManifest& manifest);
    static ErrorCode ValidateFileEntry(const ManifestFileEntry& entry);

    // --- Signature ---
    // 0 or 122; asset-dialect manifests are not signed.
    ErrorCode VerifyManifestSignature(const UpdateManifest& manifest);
    // Writes data and signature to temporary files in the cache and has the
    // verifier check them: 0, 140 (a file cannot be written) or the verifier's result.
    ErrorCode VerifyManifestCmsSignature(const std::string& data, const std::string& signature);

    // --- Downloads and cache ---
    ErrorCode DownloadManifest(const std::wstring& manifestUrl, UpdateManifest& out);
    static ErrorCode BuildFileUrl(const ManifestFileEntry& entry, const std::string& baseUrl, std::wstring& url);
    ErrorCode DownloadFile(const ManifestFileEntry& entry, const std::filesystem::path& dest,
                           const std::string& manifestBaseUrl);
    ErrorCode DownloadWithRetry(const std::wstring& url, const std::filesystem::path& dest,
                                const std::string& expectedSha256);
    ErrorCode DownloadAllFiles(const UpdateManifest& manifest);
    ErrorCode GetCachePath(const std::string& sha256, std::filesystem::path& out);
    ErrorCode StoreInCache(const std::filesystem::path& downloaded, const std::string& sha256);
    ErrorCode CleanupCache();
    ErrorCode CleanupExpiredCache();
    void UpdateProgress(int32_t processedFiles, uint64_t processedBytes, const std::string& currentFile);
    void UpdateFileProgress(const std::string& file, uint64_t bytesDone, uint64_t bytesTotal);

    // --- Verification and installation ---
    ErrorCode ProcessManifestFiles(const UpdateManifest& manifest, const std::wstring& targetPath);
    ErrorCode VerifyAllFiles(const UpdateManifest& manifest);
    // After VerifyAllFiles of the same manifest in this run (and no download since),
    // the cached files are copied without a second digest (InstallCheck::VerifiedCache).
    ErrorCode InstallAllFiles(const UpdateManifest& manifest, const std::wstring& targetPath);
    ErrorCode VerifyFile(const ManifestFileEntry& entry, const std::filesystem::path& file);
    ErrorCode InstallFile(const ManifestFileEntry& entry, const std::filesystem::path& source,
                          const std::wstring& targetRoot);
    // InstallFile for a source already open (read once, copied into a staged
    // file that replaces the target only when it matches the entry as check asks).
    ErrorCode InstallOpenFile(const ManifestFileEntry& entry, int sourceFd, const std::filesystem::path& sourcePath,
                              const std::wstring& targetRoot, InstallCheck check);
    // Makes the folders of relativePath's file below the held target: 0, 1
    // (unsafe path, or a link or non-folder on the way) or 146.
    ErrorCode EnsureParentDirectory(const std::wstring& root, const std::string& relativePath);
    // The permission word applied to the file open as file (shown by its path),
    // whose permission bits are mode now.
    ErrorCode SetPermissions(int file, uint32_t mode, const std::filesystem::path& shown,
                             const std::string& permissions);
    ErrorCode ProcessExecutable(const std::filesystem::path& file);

    // --- Prepared sessions ---
    ErrorCode ProcessPreparedSession(const UpdateManifest& manifest, const std::wstring& targetPath,
                                     const std::wstring& sessionRoot, const std::wstring& filesManifestPath);
    // The same with a files manifest the caller has already read (ReadPreparedSessionDescriptor).
    ErrorCode ProcessPreparedSession(const UpdateManifest& manifest, const std::wstring& targetPath,
                                     const std::wstring& sessionRoot, const PreparedSessionDescriptor& descriptor);

    // --- Backups ---
    ErrorCode CreateBackup(const UpdateManifest& manifest, const std::wstring& targetPath, std::wstring& backupId,
                           const std::set<std::string>* onlyThese);
    void PurgeStaleBackups();
    ErrorCode WriteBackupManifest(const UpdateManifest& manifest, const std::filesystem::path& backupDir);
    ErrorCode RestoreBackup(const std::wstring& backupId, const std::wstring& targetPath);
    ErrorCode ReadBackupManifest(const std::filesystem::path& backupDir, const std::wstring& targetPath);
    ErrorCode CleanupBackup(const std::wstring& backupId);

    const std::filesystem::path& CacheDir() const { return cacheDir_; }
    const ManifestProgress& Progress() const { return progress_; }
    // The relative paths of every entry (required and optional) of the manifest
    // this handler last applied successfully, by either flow; empty before.
    const std::vector<std::string>& AppliedFiles() const { return appliedFiles_; }
    void SetProgressCallback(ProgressCallback callback) { progressCallback_ = std::move(callback); }

private:
    // While one lives, the target is looked at for the first file of a phase of
    // installing only; the phase's other files go to the folder held then.
    class TargetPhase {
    public:
        explicit TargetPhase(ManifestHandler& handler) : handler_(handler) { handler_.phaseTarget_.emplace(); }
        ~TargetPhase() { handler_.phaseTarget_.reset(); }
        TargetPhase(const TargetPhase&) = delete;
        TargetPhase& operator=(const TargetPhase&) = delete;

    private:
        ManifestHandler& handler_;
    };

    // Holds the target folder for this application (kept while it is the same
    // path); with create it is made first. The codes of TargetFolder::Open.
    ErrorCode OpenTarget(const std::wstring& targetPath, bool create);
    // Where the cache keeps the file of this digest (<h8>/<sha256>), looked at or not.
    std::filesystem::path CachePathOf(const std::string& sha256) const;
    // VerifyFile of the regular file open as file (shown as path).
    ErrorCode VerifyOpenFile(const ManifestFileEntry& entry, int file, const std::filesystem::path& path);
    // InstallFile from the file at source, checked as check asks.
    ErrorCode InstallFileAs(const ManifestFileEntry& entry, const std::filesystem::path& source,
                            const std::wstring& targetRoot, InstallCheck check);
    // A required file the prepared session left out must already be right at the target.
    ErrorCode CheckUnchangedTarget(const ManifestFileEntry& entry, const std::wstring& targetPath);
    // cacheDir_ / file + "." + run token + ".tmp": a temporary name no other run uses.
    std::filesystem::path TemporaryPath(const std::filesystem::path& file) const;
    // The target checked, the update lock taken, then Initialize, download and
    // validate, with the events of the two flows.
    ErrorCode FetchManifest(const std::wstring& manifestUrl, const std::wstring& targetPath, UpdateManifest& manifest);
    // Before the first change to the target: 0, or 148 when its file system has
    // no room for the release as it will stand (the required entries, or those
    // of onlyThese, less the files they replace) plus its largest file, which is
    // staged beside the file it replaces.
    ErrorCode CheckRoomForRelease(const UpdateManifest& manifest, const std::wstring& targetPath,
                                  const std::set<std::string>* onlyThese);
    // Restores the backup after a failed installation unless the launcher is gone.
    void ApplyRollbackPolicy(ErrorCode failure, const std::wstring& backupId, const std::wstring& targetPath);
    // The common ends of both flows: success removes the backup, failure applies the rollback policy.
    void CompleteApplication(const std::wstring& manifestUrl, const UpdateManifest& manifest,
                             const std::wstring& backupId);
    void FailApplication(const std::wstring& manifestUrl, const UpdateManifest& manifest, ErrorCode failure,
                         const std::wstring& backupId, const std::wstring& targetPath);
    // A download that also knows the entry's size, so that a partial file too
    // large to be a prefix is checked before it is resumed.
    ErrorCode DownloadWithRetry(const std::wstring& url, const std::filesystem::path& dest,
                                const std::string& expectedSha256, std::optional<uint64_t> expectedSize);
    // Progress of a new run: totals set, counts zero, start time now.
    void ResetProgress(int32_t totalFiles, uint64_t totalBytes);
    int64_t NowTicks() const;  // the injectable clock in 100-ns ticks since 1970

    std::chrono::system_clock::time_point Now() const;
    std::chrono::steady_clock::time_point MonotonicNow() const;
    void Sleep(std::chrono::milliseconds pause) const;
    // The options' lock when given, else the handler's own.
    platform::FileLock& UpdateLock();

    std::wstring cdnBaseUrl_;
    HttpClient httpClient_;
    CryptoVerifier cryptoVerifier_;
    std::filesystem::path cacheDir_;
    ManifestProgress progress_;
    ProgressCallback progressCallback_;
    ManifestHandlerOptions options_;
    std::string runToken_;               // makes this run's temporary names its own
    std::shared_ptr<platform::SystemInformation> system_;
    bool flowWithoutLock_ = false;       // a flow began but holds no update lock: the cache is not ours to tidy
    bool freshCacheDir_ = false;         // cacheDir_ was made for this run and goes with it
    TargetFolder target_;
    std::optional<std::wstring> phaseTarget_;  // in a TargetPhase: the target its first file checked (empty before)
    bool cacheVerified_ = false;               // VerifyAllFiles checked the cache since the last download
    std::vector<std::string> appliedFiles_;
    platform::FileLock ownUpdateLock_;   // released last, after the cache is tidied
};

}  // namespace zuvelo
