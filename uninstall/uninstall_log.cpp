#include "uninstall/uninstall_log.h"

#include <cstdio>
#include <ctime>
#include <filesystem>

#include "common/jsonl_logger.h"
#include "common/paths.h"
#include "common/text.h"
#include "install/install_receipt.h"
#include "platform/file_io.h"
#include "platform/private_folder.h"
#include "platform/win32_error.h"
#include "uninstall/csidl_folders.h"

namespace zuvelo {

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kLogFileMode = 0644;
// The code the log shares with the receipt writer: a file that cannot be created.
constexpr ErrorCode kLogNotCreated = ErrorCode::ReceiptWriteFailed;
// Runs started in the same second get "-1" ... "-99" before ".log".
constexpr int kMaxNameSuffix = 99;

std::wstring LogFileName(std::chrono::system_clock::time_point time) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm utc{};
    if (::gmtime_r(&seconds, &utc) == nullptr) return L"uninstall.log";
    wchar_t name[64];
    std::swprintf(name, sizeof name / sizeof name[0], L"uninstall-%04d%02d%02d-%02d%02d%02d.log", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
    return name;
}

// "<name>-<n>.log" for "<name>.log".
std::wstring WithSuffix(const std::wstring& path, int n) {
    if (n == 0) return path;
    const size_t dot = path.rfind(L".log");
    return path.substr(0, dot) + L"-" + std::to_wstring(n) + path.substr(dot);
}

// The text as the file gets it: through the lossy conversions, so it is valid UTF-8.
std::string FileText(const std::string& utf8) { return WideToUtf8Lossy(Utf8ToWideLossy(utf8)); }

// The Logs folder, made when missing: refused when it is not a folder of this
// user's that nobody else can write.
bool PrepareLogFolder(const fs::path& folder) {
    if (folder.empty()) return true;
    if (!fs::exists(folder) && folder.has_parent_path()) fs::create_directories(folder.parent_path());
    bool created = false;
    uint32_t err = 0;
    const platform::PrivateFolderState state = platform::EnsurePrivateFolder(folder, created, err);
    if (state == platform::PrivateFolderState::Usable) return true;
    JsonlLogger::Instance().LogDiagnostic(
        LogLevel::Warning,
        std::string("Log folder is ") + platform::DescribePrivateFolderState(state) + ": " + ToUtf8Lossy(folder),
        "uninstall_manager");
    return false;
}

}  // namespace

std::wstring GetLogFilePath(std::chrono::system_clock::time_point time) {
    const std::wstring data = GetCsidlFolderPath(kCsidlCommonAppData);
    const fs::path logs = (data.empty() ? fs::path() : NativePath(data)) / "Zuvelo" / "Logs";
    return JoinPathText(WidePath(logs), LogFileName(time));
}

std::string LogHeader(std::chrono::system_clock::time_point started) {
    return "Zuvelo Uninstaller Log\nStarted: " + WideToUtf8Lossy(FormatReceiptTime(started)) + "\n\n";
}

std::string LogSummary(const std::wstring& version, const std::wstring& installPath, const UninstallStats& stats) {
    std::string text = "\n=== Uninstall Summary ===\n";
    text += "Version: " + WideToUtf8Lossy(version) + "\n";
    text += "Install Path: " + WideToUtf8Lossy(installPath) + "\n";
    text += "Processes Terminated: " + std::to_string(stats.processesTerminated) + "\n";
    text += "Shortcuts Removed: " + std::to_string(stats.shortcutsRemoved) + "\n";
    text += "Registry Keys Removed: " + std::to_string(stats.registryKeysRemoved) + "\n";
    text += "Files Removed: " + std::to_string(stats.filesRemoved) + "\n";
    text += "Directories Removed: " + std::to_string(stats.directoriesRemoved) + "\n";
    text += "Duration: " + std::to_string(stats.durationMs) + " ms\n";
    text += std::string("Success: ") + (stats.success ? "true" : "false") + "\n";
    return text;
}

ErrorCode UninstallLog::Create(const std::wstring& path, std::chrono::system_clock::time_point started) {
    if (!PrepareLogFolder(NativePath(path).parent_path())) return kLogNotCreated;
    for (int n = 0; n <= kMaxNameSuffix; ++n) {
        const std::wstring candidate = WithSuffix(path, n);
        platform::UniqueFd file;
        const uint32_t err = platform::CreateReadableWhileWritten(NativePath(candidate), kLogFileMode, file);
        if (err == platform::win32::kAlreadyExists) continue;
        if (err != 0) break;
        file_ = std::move(file);
        path_ = candidate;
        Append(LogHeader(started));
        return ErrorCode::Success;
    }
    return kLogNotCreated;
}

void UninstallLog::Append(const std::string& text) {
    if (!file_) return;
    const std::string bytes = FileText(text);
    if (platform::WriteFullyAt(file_.get(), bytes.data(), bytes.size(), written_) == 0) written_ += bytes.size();
}

}  // namespace zuvelo
