#include <filesystem>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "common/file_operations.h"
#include "common/jsonl_logger.h"
#include "common/paths.h"
#include "common/text.h"
#include "install/prereq_installer.h"
#include "install/prereq_log.h"
#include "platform/child_process.h"
#include "platform/file_io.h"
#include "platform/win32_error.h"

namespace zuvelo {

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kRestartRequired = 3010;
constexpr uint32_t kAnotherInstallationRunning = 1618;
constexpr uint32_t kPackageRejected = 1633;
constexpr uint32_t kDotNetAccessDenied = 0x80070005;
constexpr uint32_t kDotNetDownloadFailed = 0x80072F76;

ErrorCode Fail(ErrorCode code, const std::string& message) {
    kPrereqLog.Error(message);
    return code;
}

// The command line's path, then its switches split at white space (no shell sees them).
std::vector<std::string> InstallerArguments(const fs::path& installer, const std::wstring& arguments) {
    std::vector<std::string> argv{Utf8FromPath(installer)};
    std::wistringstream words(arguments);
    for (std::wstring word; words >> word;) argv.push_back(WideToUtf8(word));
    return argv;
}

// Opens the installer once, never through a link, as a regular file: 0 or the Windows number.
uint32_t OpenInstaller(const fs::path& installer, platform::UniqueFd& out) {
    platform::FileStat stat;
    uint32_t err = platform::OpenForReadingNoFollow(installer, out);
    if (err == 0) err = platform::StatFd(out.get(), stat);
    if (err == 0 && !stat.IsRegular()) err = platform::win32::kAccessDenied;
    return err;
}

platform::Deadline DeadlineAfter(std::chrono::milliseconds timeout) { return std::chrono::steady_clock::now() + timeout; }

}  // namespace

ErrorCode PrereqInstaller::InstallDownloadedPrerequisites() {
    kPrereqLog.Info("Installing downloaded prerequisites");
    for (const PrerequisiteInfo& row : prerequisites_) {
        if (!row.required || row.installed) continue;
        const std::string name = WideToUtf8Lossy(row.name);
        const fs::path installer = downloadDirectory_ / NativePath(row.installerFileName);
        if (!fs::exists(installer)) {
            return Fail(ErrorCode::FileNotFound, "Installer not found: " + ToUtf8Lossy(installer));
        }
        kPrereqLog.Info("Installing: " + name);
        JsonlLogger::Instance().LogProgress("install:" + name, 0, "Starting installation");
        if (const ErrorCode result = InstallPrerequisite(row.type, installer); !Succeeded(result)) {
            kPrereqLog.Error("Failed to install: " + name);
            CleanupFailedInstallation(row.type);
            return result;
        }
        JsonlLogger::Instance().LogProgress("install:" + name, 100, "Installation complete");
    }
    kPrereqLog.Info("All prerequisites installed successfully");
    return ErrorCode::Success;
}

ErrorCode PrereqInstaller::InstallPrerequisite(PrerequisiteType type, const fs::path& installer) {
    switch (type) {
        case PrerequisiteType::VcRedistX64:
            return RunSilentInstaller(type, "Installing VC++ Redistributable", installer, L"/quiet /norestart");
        case PrerequisiteType::DotNetRuntime8: return InstallDotNetRuntime(installer);
        case PrerequisiteType::DirectXRuntime: return InstallDirectX(installer);
        case PrerequisiteType::WindowsSdk: return InstallWindowsSdk(installer);
    }
    return Fail(ErrorCode::InvalidArguments,
                "Unknown prerequisite type for installation: " + PrerequisiteTypeNumber(type));
}

ErrorCode PrereqInstaller::InstallDotNetRuntime(const fs::path& installer) {
    return RunSilentInstaller(PrerequisiteType::DotNetRuntime8, "Installing .NET Runtime", installer,
                              L"/quiet /norestart");
}

ErrorCode PrereqInstaller::InstallDirectX(const fs::path& installer) {
    return RunSilentInstaller(PrerequisiteType::DirectXRuntime, "Installing DirectX Runtime", installer, L"/Q");
}

ErrorCode PrereqInstaller::InstallWindowsSdk(const fs::path& installer) {
    return RunSilentInstaller(PrerequisiteType::WindowsSdk, "Installing Windows SDK Components", installer, L"/quiet");
}

ErrorCode PrereqInstaller::RunSilentInstaller(PrerequisiteType type, const char* message, const fs::path& installer,
                                              const std::wstring& arguments) {
    kPrereqLog.Info(message);
    const PrerequisiteInfo* row = FindRow(type);
    uint32_t exitCode = 0;
    if (const ErrorCode result = RunInstaller(installer, arguments, row ? row->expectedSha256 : "", exitCode);
        !Succeeded(result)) {
        return result;
    }
    return MapInstallerExitCode(type, exitCode);
}

ErrorCode PrereqInstaller::MapInstallerExitCode(PrerequisiteType type, uint32_t exitCode) {
    if (exitCode == 0 || exitCode == kRestartRequired) return ErrorCode::Success;
    if (type == PrerequisiteType::VcRedistX64) {
        if (exitCode == kAnotherInstallationRunning) return ErrorCode::PrereqInstallFailed;
        if (exitCode == kPackageRejected) return ErrorCode::InternalError;
    }
    if (type == PrerequisiteType::DotNetRuntime8) {
        if (exitCode == kDotNetAccessDenied) return ErrorCode::InsufficientPrivileges;
        if (exitCode == kDotNetDownloadFailed) return ErrorCode::NetworkUnreachable;
    }
    return Fail(ErrorCode::PrereqInstallFailed, "Installer failed with exit code: " + std::to_string(exitCode));
}

ErrorCode PrereqInstaller::RunInstaller(const fs::path& installer, const std::wstring& arguments,
                                        const std::string& expectedSha256, uint32_t& exitCode) {
    kPrereqLog.Debug("Executing installer: " + ToUtf8Lossy(installer));
    platform::UniqueFd file;
    if (const uint32_t err = OpenInstaller(installer, file)) {
        return Fail(ErrorCode::InternalError, "Failed to create installer process: " + std::to_string(err));
    }
    // The file that passed the check is the file that runs.
    if (!expectedSha256.empty()) {
        std::string actual;
        if (const ErrorCode result = FileOperations().CalculateSha256Of(file.get(), WidePath(installer), actual);
            !Succeeded(result)) {
            return Fail(result, "Failed to calculate file hash for validation");
        }
        if (!MatchesExpectedHash(expectedSha256, actual)) return ErrorCode::FileHashMismatch;
    }
    platform::ChildProcess child;
    if (const uint32_t err =
            platform::ChildProcess::StartExecutable(file.get(), InstallerArguments(installer, arguments), child)) {
        return Fail(ErrorCode::InternalError, "Failed to create installer process: " + std::to_string(err));
    }
    if (const uint32_t err = child.Wait(DeadlineAfter(options_.installerTimeout), exitCode)) {
        child.KillGroup();
        if (err == platform::win32::kWaitTimeout) return Fail(ErrorCode::TimedOut, "Installer process timed out");
        return Fail(ErrorCode::InternalError, "Wait for installer process failed");
    }
    kPrereqLog.Debug("Installer completed with exit code: " + std::to_string(exitCode));
    return ErrorCode::Success;
}

ErrorCode PrereqInstaller::RunCommand(const std::wstring& command, std::wstring& output, uint32_t& exitCode) {
    const std::string text = WideToUtf8Lossy(command);
    kPrereqLog.Debug("Executing command: " + text);
    platform::ChildProcess child;
    if (const uint32_t err = platform::ChildProcess::StartShellCommand(text, child)) {
        return Fail(ErrorCode::InternalError, "Failed to create command process: " + std::to_string(err));
    }
    const platform::Deadline deadline = DeadlineAfter(options_.commandTimeout);
    std::string bytes;
    uint32_t err = child.ReadOutput(deadline, bytes);
    if (err == 0) err = child.Wait(deadline, exitCode);
    if (err != 0) {
        // Never blocks for ever: whatever holds the output open or keeps running is ended.
        child.KillGroup();
        if (err == platform::win32::kWaitTimeout) {
            kPrereqLog.Warning("Command timed out: " + text);
            return ErrorCode::TimedOut;
        }
        return Fail(ErrorCode::InternalError, "Wait for command process failed");
    }
    output = OemToWide(bytes);
    return ErrorCode::Success;
}

ErrorCode PrereqInstaller::CleanupFailedInstallation(PrerequisiteType type) {
    kPrereqLog.Debug("Cleaning up failed installation for type: " + PrerequisiteTypeNumber(type));
    const PrerequisiteInfo* row = FindRow(type);
    if (!row || row->installerFileName.empty()) return ErrorCode::Success;
    const fs::path installer = downloadDirectory_ / NativePath(row->installerFileName);
    std::error_code ec;
    fs::remove(installer, ec);
    // The installation's own result is what the caller reports.
    if (ec) kPrereqLog.Warning("Failed to delete installer: " + ToUtf8Lossy(installer) + " - " + ec.message());
    return ErrorCode::Success;
}

}  // namespace zuvelo
