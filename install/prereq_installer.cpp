#include "install/prereq_installer.h"

#include <thread>
#include <utility>

#include "common/jsonl_logger.h"
#include "common/text.h"
#include "install/prereq_log.h"
#include "platform/private_folder.h"

namespace zuvelo {

namespace {

constexpr uint64_t kRequiredFreeBytes = 1073741824;  // 1 GiB
constexpr uint64_t kBytesPerMegabyte = 1048576;

const char* ArchitectureWord(uint16_t architecture) {
    switch (architecture) {
        case platform::processor::kX64: return "x64";
        case platform::processor::kX86: return "x86";
        case platform::processor::kArm64: return "ARM64";
        default: return "Unknown";
    }
}

ErrorCode Fail(ErrorCode code, const std::string& message) {
    kPrereqLog.Error(message);
    return code;
}

}  // namespace

PrereqInstaller::PrereqInstaller(std::wstring cdnUrl, PrereqInstallerOptions options)
    : cdnUrl_(std::move(cdnUrl)),
      downloadDirectory_(options.downloadDirectory.empty() ? platform::TemporaryFolder() / "ZuveloPrereqs"
                                                           : options.downloadDirectory),
      httpClient_(options.http),
      options_(std::move(options)),
      system_(options_.system ? options_.system : platform::OpenSystemInformation()) {}

PrereqInstaller::~PrereqInstaller() {
    try {
        CleanupDownloadDirectory();
    } catch (...) {
        // The folder is tidied by the next run; a destructor must not throw.
    }
}

void PrereqInstaller::Sleep(std::chrono::milliseconds pause) const {
    if (options_.sleep) {
        options_.sleep(pause);
    } else {
        std::this_thread::sleep_for(pause);
    }
}

ErrorCode PrereqInstaller::InstallPrerequisites() {
    kPrereqLog.Info("Starting prerequisite installation process");
    using Step = ErrorCode (PrereqInstaller::*)();
    for (const Step step : {&PrereqInstaller::Initialize, &PrereqInstaller::ValidateSystemRequirements,
                            &PrereqInstaller::CheckPrerequisiteStatus, &PrereqInstaller::DownloadMissingPrerequisites,
                            &PrereqInstaller::InstallDownloadedPrerequisites}) {
        if (const ErrorCode result = (this->*step)(); !Succeeded(result)) return result;
    }
    const ErrorCode verified = CheckPrerequisiteStatus();
    if (verified == ErrorCode::PrereqAlreadyInstalled) {
        kPrereqLog.Info("All prerequisites installed successfully");
        JsonlLogger::Instance().LogCompletion("install_prerequisites");
        return ErrorCode::Success;
    }
    kPrereqLog.Warning("Post-installation verification failed");
    return Succeeded(verified) ? ErrorCode::PrereqVerifyFailed : verified;
}

ErrorCode PrereqInstaller::Initialize() {
    kPrereqLog.Debug("Initializing PrereqInstaller");
    BuildPrerequisiteTable();
    if (const ErrorCode result = httpClient_.Initialize(); !Succeeded(result)) {
        return Fail(result, "Failed to initialize HTTP client");
    }
    kPrereqLog.Info("PrereqInstaller initialized successfully");
    return ErrorCode::Success;
}

void PrereqInstaller::BuildPrerequisiteTable() { prerequisites_ = PrerequisiteRows(!IsWindowsVersionOrGreater(10, 0)); }

bool PrereqInstaller::IsWindowsVersionOrGreater(uint32_t major, uint32_t minor) const {
    platform::OsVersion version;
    if (system_->QueryOsVersion(version) != 0) return false;
    return version.major > major || (version.major == major && version.minor >= minor);
}

ErrorCode PrereqInstaller::ValidateSystemRequirements() {
    kPrereqLog.Debug("Validating system requirements");
    if (!system_->IsElevated()) {
        return Fail(ErrorCode::InsufficientPrivileges, "Insufficient privileges for installation");
    }

    uint64_t available = 0;
    if (system_->QueryFreeBytes(platform::TemporaryFolder(), available) != 0) available = 0;
    if (available < kRequiredFreeBytes) {
        return Fail(ErrorCode::InsufficientDiskSpace, "Insufficient disk space. Available: " +
                                                          std::to_string(available / kBytesPerMegabyte) +
                                                          " MB, Required: 1024 MB");
    }
    if (!IsWindowsVersionOrGreater(6, 1)) return Fail(ErrorCode::InternalError, "Unsupported Windows version");
    const std::string architecture = ArchitectureWord(system_->ProcessorArchitecture());
    if (architecture != "x64") {
        return Fail(ErrorCode::InternalError, "Unsupported system architecture: " + architecture);
    }
    kPrereqLog.Info("System requirements validation passed");
    return ErrorCode::Success;
}

ErrorCode PrereqInstaller::CheckPrerequisiteStatus() {
    kPrereqLog.Info("Checking prerequisite installation status");
    bool allPresent = true;
    for (PrerequisiteInfo& row : prerequisites_) {
        bool installed = false;
        std::wstring version;
        if (const ErrorCode result = DetectPrerequisite(row.type, installed, version); !Succeeded(result)) {
            return Fail(result, "Failed to check prerequisite: " + WideToUtf8Lossy(row.name));
        }
        row.installed = installed;
        row.installedVersion = version;
        JsonlLogger::Instance().LogPrereqStatus(PrerequisiteEventWord(row.type), installed ? "installed" : "missing",
                                                WideToUtf8Lossy(version));
        if (row.required && !installed) {
            allPresent = false;
            kPrereqLog.Info("Missing required prerequisite: " + WideToUtf8Lossy(row.name));
        }
    }
    if (!allPresent) return ErrorCode::Success;
    kPrereqLog.Info("All required prerequisites are installed");
    return ErrorCode::PrereqAlreadyInstalled;
}

const PrerequisiteInfo* PrereqInstaller::FindRow(PrerequisiteType type) const {
    for (const PrerequisiteInfo& row : prerequisites_) {
        if (row.type == type) return &row;
    }
    return nullptr;
}

}  // namespace zuvelo
