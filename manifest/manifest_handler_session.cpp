#include <chrono>
#include <exception>
#include <string>
#include <system_error>
#include <unordered_map>

#include "common/file_operations.h"
#include "common/json_document.h"
#include "common/jsonl_logger.h"
#include "common/paths.h"
#include "common/text.h"
#include "manifest/json_access.h"
#include "manifest/manifest_handler.h"
#include "manifest/manifest_log.h"
#include "platform/file_io.h"
#include "platform/open_beneath.h"
#include "platform/regular_file.h"
#include "platform/unique_fd.h"

namespace zuvelo {

namespace {

namespace fs = std::filesystem;

constexpr auto kUnchangedReportInterval = std::chrono::seconds(2);

// The session as checked: its root held open and the files it offers by install path.
struct PreparedSession {
    fs::path rootPath;
    platform::UniqueFd root;
    std::unordered_map<std::string, PreparedFileEntry> files;
};

ErrorCode Fail(ErrorCode code, const std::string& message) {
    kManifestLog.Error(message);
    return code;
}

bool PipeLost() { return JsonlLogger::Instance().IsPipeLost(); }

ErrorCode AbandonForLostPipe() {
    kManifestLog.Warning("Launcher progress pipe lost; abandoning installation");
    return ErrorCode::ProgressPipeClosed;
}

// Without a manifest total, the sizes of the files that will be handled.
uint64_t SessionTotalBytes(const UpdateManifest& manifest) {
    if (manifest.totalSize != 0) return manifest.totalSize;
    uint64_t total = 0;
    for (const ManifestFileEntry& entry : manifest.files) total += entry.isRequired ? entry.size : 0;
    return total;
}

std::string AsciiLower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// What reading the file found, reported in the order the checks are made.
ErrorCode CheckDescriptorRead(const PreparedSessionDescriptor& descriptor) {
    const std::string path = ToUtf8Lossy(descriptor.path);
    switch (descriptor.readResult) {
        case ErrorCode::Success: break;
        case ErrorCode::FileNotFound: return Fail(ErrorCode::FileNotFound, "Files manifest not found: " + path);
        case ErrorCode::ManifestParseFailed:
            return Fail(ErrorCode::ManifestParseFailed,
                        "Failed to parse files manifest JSON: " + descriptor.parseErrors);
        default: return Fail(ErrorCode::FileAccessDenied, "Failed to open files manifest: " + path);
    }
    if (JsonHasEmbeddedNul(descriptor.document)) {
        return Fail(ErrorCode::InvalidArguments, "Files manifest contains an escaped embedded NUL");
    }
    const Json::Value* files = FindMember(descriptor.document, "files");
    if (!files || !files->isArray()) {
        return Fail(ErrorCode::InvalidArguments, "Files manifest is missing 'files' array");
    }
    return ErrorCode::Success;
}

// The descriptor's own idea of the root only warns; the given root decides.
void CompareDescriptorRoot(const Json::Value& document, const fs::path& root) {
    const Json::Value* named = FindMember(document, "sessionRoot");
    if (!named || !named->isString() || named->asString().empty()) return;
    try {
        if (fs::weakly_canonical(NativePathUtf8(named->asString())) != root) {
            kManifestLog.Warning("Session root in descriptor does not match provided path");
        }
    } catch (const std::exception&) {
        kManifestLog.Warning("Unable to canonicalize session root from descriptor");
    }
}

// The root resolved and held open: files are later opened below this very folder.
ErrorCode ResolveSessionRoot(const fs::path& given, PreparedSession& session) {
    try {
        session.rootPath = fs::weakly_canonical(given);
    } catch (const std::exception& e) {
        return Fail(ErrorCode::FileNotFound, std::string("Failed to resolve session root path: ") + e.what());
    }
    if (const uint32_t err = platform::PinFolder(session.rootPath, session.root)) {
        return Fail(ErrorCode::FileNotFound, "Failed to resolve session root path: " +
                                                 ToUtf8Lossy(FormatWin32Error(err)));
    }
    return ErrorCode::Success;
}

bool ReadStringMember(const Json::Value& element, const char* key, std::string& out) {
    const Json::Value* member = FindMember(element, key);
    if (!member || !member->isString()) return false;
    out = member->asString();
    return true;
}

// Whether a link stands on the way to relative below the held root. The C++ library
// resolves no links on Windows, so there only this finds them before anything is installed.
bool LinkOnTheWay(int rootFd, const fs::path& relative) {
    platform::UniqueFd file;
    bool linkFound = false;
    platform::OpenForReadingBeneath(rootFd, relative, file, linkFound);
    return linkFound;
}

// One element of "files": its install path checked, its file found inside the root.
ErrorCode ReadPreparedEntry(const Json::Value& element, const PreparedSession& session, std::string& file,
                            PreparedFileEntry& entry) {
    std::string path;
    if (!ReadStringMember(element, "file", file) || !ReadStringMember(element, "path", path)) {
        return Fail(ErrorCode::ManifestParseFailed, "Files manifest entry missing required fields");
    }
    if (!IsSafeRelativePathUtf8(file)) {
        return Fail(ErrorCode::InvalidArguments, "Files manifest contains an unsafe relative path");
    }
    entry.path = NativePathUtf8(path);
    const Json::Value* bytes = FindMember(element, "bytes");
    entry.bytes = bytes && bytes->isUInt64() ? bytes->asUInt64() : 0;
    ReadStringMember(element, "sha256", entry.sha256);

    fs::path resolved;
    bool inside = false;
    try {
        resolved = fs::weakly_canonical(entry.path);
        inside = IsPathWithin(resolved, session.rootPath);
    } catch (const std::exception&) {
        return Fail(ErrorCode::FileNotFound, "Prepared file path could not be resolved: " + ToUtf8Lossy(entry.path));
    }
    if (inside) entry.withinRoot = resolved.lexically_relative(session.rootPath);
    if (!inside || LinkOnTheWay(session.root.get(), entry.withinRoot)) {
        return Fail(ErrorCode::InvalidArguments, "Prepared file lies outside session root: " + ToUtf8Lossy(entry.path));
    }
    return ErrorCode::Success;
}

ErrorCode ReadPreparedEntries(const Json::Value& files, PreparedSession& session) {
    for (const Json::Value& element : files) {
        std::string file;
        PreparedFileEntry entry;
        if (const ErrorCode code = ReadPreparedEntry(element, session, file, entry);
            code != ErrorCode::Success) {
            return code;
        }
        session.files[file] = std::move(entry);  // a later element replaces an earlier one
    }
    return ErrorCode::Success;
}

ErrorCode LoadPreparedSession(const std::wstring& sessionRoot, const PreparedSessionDescriptor& descriptor,
                              PreparedSession& session) {
    const fs::path given = NativePath(sessionRoot);
    bool found = false;
    try {
        found = PathExists(given);
    } catch (const std::exception&) {  // a test that fails counts as not found here
    }
    if (!found) return Fail(ErrorCode::FileNotFound, "Session root not found: " + ToUtf8Lossy(given));
    if (const ErrorCode code = CheckDescriptorRead(descriptor); code != ErrorCode::Success) return code;
    if (const ErrorCode code = ResolveSessionRoot(given, session); code != ErrorCode::Success) return code;
    CompareDescriptorRoot(descriptor.document, session.rootPath);
    return ReadPreparedEntries(descriptor.document["files"], session);
}

// The descriptor's size and hash are only hints: the manifest decides.
void WarnAboutMetadata(const ManifestFileEntry& entry, const PreparedFileEntry& prepared) {
    if (prepared.bytes != 0 && prepared.bytes != entry.size) {
        kManifestLog.Warning("Prepared file size metadata mismatch for: " + entry.relativePath);
    }
    if (!prepared.sha256.empty() && AsciiLower(prepared.sha256) != AsciiLower(entry.sha256)) {
        kManifestLog.Warning("Prepared file hash metadata mismatch for: " + entry.relativePath);
    }
}

// Opened once, below the held root and without following links: the file that
// was checked is the file installed.
ErrorCode OpenPreparedFile(const PreparedSession& session, const PreparedFileEntry& prepared,
                           platform::UniqueFd& file) {
    bool linkFound = false;
    uint32_t err = platform::OpenForReadingBeneath(session.root.get(), prepared.withinRoot, file, linkFound);
    const std::string path = ToUtf8Lossy(prepared.path);
    if (linkFound) return Fail(ErrorCode::InvalidArguments, "Prepared file lies outside session root: " + path);
    platform::FileStat st;
    if (err == 0) err = platform::StatFd(file.get(), st);
    if (err != 0 || !st.IsRegular()) return Fail(ErrorCode::FileNotFound, "Prepared file not found on disk: " + path);
    return ErrorCode::Success;
}

ErrorCode InstallPreparedFile(ManifestHandler& handler, const ManifestFileEntry& entry,
                              const PreparedSession& session, const PreparedFileEntry& prepared,
                              const std::wstring& targetPath) {
    platform::UniqueFd file;
    if (const ErrorCode code = OpenPreparedFile(session, prepared, file); code != ErrorCode::Success) return code;
    WarnAboutMetadata(entry, prepared);
    return handler.InstallOpenFile(entry, file.get(), prepared.path, targetPath, InstallCheck::VerifyWhileCopying);
}

}  // namespace

PreparedSessionDescriptor ReadPreparedSessionDescriptor(const std::wstring& filesManifestPath) {
    PreparedSessionDescriptor descriptor;
    descriptor.path = NativePath(filesManifestPath);
    std::error_code ec;
    const fs::file_status status = fs::status(descriptor.path, ec);
    if (!fs::exists(status)) {
        descriptor.readResult = ErrorCode::FileNotFound;
        return descriptor;
    }
    std::string text;
    switch (platform::ReadRegularFile(descriptor.path, text, kMaxFilesManifestBytes)) {
        case platform::ReadFileResult::Ok: break;
        case platform::ReadFileResult::TooLarge:
            descriptor.readResult = ErrorCode::ManifestParseFailed;
            descriptor.parseErrors = "Files manifest is larger than " + std::to_string(kMaxFilesManifestBytes) + " bytes";
            return descriptor;
        default: descriptor.readResult = ErrorCode::FileAccessDenied; return descriptor;
    }
    bool parsed = false;
    try {
        parsed = ParseJsonDocument(text, descriptor.document, descriptor.parseErrors);
    } catch (const Json::Exception& error) {  // nesting beyond the reader's limit throws instead of failing
        descriptor.parseErrors = error.what();
    }
    if (!parsed) {
        descriptor.readResult = ErrorCode::ManifestParseFailed;
        descriptor.document = Json::Value();
    }
    return descriptor;
}

ErrorCode ManifestHandler::ProcessPreparedSession(const UpdateManifest& manifest, const std::wstring& targetPath,
                                                  const std::wstring& sessionRoot,
                                                  const std::wstring& filesManifestPath) {
    return ProcessPreparedSession(manifest, targetPath, sessionRoot, ReadPreparedSessionDescriptor(filesManifestPath));
}

ErrorCode ManifestHandler::ProcessPreparedSession(const UpdateManifest& manifest, const std::wstring& targetPath,
                                                  const std::wstring& sessionRoot,
                                                  const PreparedSessionDescriptor& descriptor) {
    kManifestLog.Info("Processing prepared session from: " + ToUtf8Lossy(sessionRoot));
    PreparedSession session;
    if (const ErrorCode code = LoadPreparedSession(sessionRoot, descriptor, session); code != ErrorCode::Success) {
        return code;
    }
    ResetProgress(static_cast<int32_t>(manifest.files.size()), SessionTotalBytes(manifest));
    int32_t processedFiles = 0;
    uint64_t processedBytes = 0;
    int32_t unchanged = 0;
    auto lastReport = MonotonicNow();

    const auto afterInstalled = [&](const ManifestFileEntry& entry) {
        UpdateProgress(++processedFiles, processedBytes += entry.size, entry.relativePath);
        UpdateFileProgress(entry.relativePath, entry.size, entry.size);
        if (progressCallback_ && !progressCallback_(progress_)) {
            kManifestLog.Info("Installation cancelled by user");
            return ErrorCode::Cancelled;
        }
        return PipeLost() ? AbandonForLostPipe() : ErrorCode::Success;
    };
    const auto afterUnchanged = [&](const ManifestFileEntry& entry) {
        UpdateProgress(++processedFiles, processedBytes += entry.size, entry.relativePath);
        ++unchanged;
        const auto now = MonotonicNow();
        if (now - lastReport < kUnchangedReportInterval) return ErrorCode::Success;
        lastReport = now;
        JsonlLogger::Instance().LogStatus("apply_manifest", "verifying_unchanged",
                                          std::to_string(unchanged) + " unchanged files verified");
        return PipeLost() ? AbandonForLostPipe() : ErrorCode::Success;
    };

    const TargetPhase phase(*this);
    for (const ManifestFileEntry& entry : manifest.files) {
        if (!entry.isRequired) continue;
        const auto found = session.files.find(entry.relativePath);
        const bool inSession = found != session.files.end();
        ErrorCode code = inSession ? InstallPreparedFile(*this, entry, session, found->second, targetPath)
                                   : CheckUnchangedTarget(entry, targetPath);
        if (code == ErrorCode::Success) code = inSession ? afterInstalled(entry) : afterUnchanged(entry);
        if (code != ErrorCode::Success) return code;
    }
    UpdateProgress(progress_.totalFiles, progress_.totalBytes, "");
    kManifestLog.Info("Prepared session files installed successfully");
    return ErrorCode::Success;
}

ErrorCode ManifestHandler::CheckUnchangedTarget(const ManifestFileEntry& entry, const std::wstring& targetPath) {
    const std::string missing = "Prepared session is missing file and target does not have valid copy: " +
                                entry.relativePath;
    // Read through the held target: a link there is no valid copy.
    platform::UniqueFd file;
    bool linkFound = false;
    platform::FileStat st;
    if (!Succeeded(OpenTarget(targetPath, false)) || target_.OpenFile(entry.relativePath, file, linkFound) != 0 ||
        platform::StatFd(file.get(), st) != 0 || !st.IsRegular()) {
        return Fail(ErrorCode::FileNotFound, missing);
    }
    const std::wstring shown = WidePath(target_.PathOf(entry.relativePath));
    if (!Succeeded(FileOperations().VerifyOpenFileIntegrity(file.get(), shown, entry.sha256))) {
        kManifestLog.Warning("File exists at target but hash mismatch, session missing: " + entry.relativePath);
        return Fail(ErrorCode::FileNotFound, missing);
    }
    kManifestLog.Debug("Delta skip: file unchanged at target - " + entry.relativePath);
    return ErrorCode::Success;
}

}  // namespace zuvelo
