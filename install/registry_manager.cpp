#include "install/registry_manager.h"

#include <ctime>
#include <filesystem>
#include <limits>
#include <system_error>
#include <vector>

#include "common/jsonl_logger.h"
#include "common/link_aware.h"
#include "common/paths.h"
#include "common/text.h"
#include "install/product_identity.h"
#include "platform/file_io.h"
#include "platform/win32_error.h"
#include "resources/version.h"

namespace zuvelo {

namespace {

namespace fs = std::filesystem;
namespace win32 = platform::win32;

constexpr ComponentLogger kLog{"RegistryManager"};

// Any entry at all; a failing test other than "not found" throws.
bool Exists(const std::wstring& path) { return PathExists(NativePath(path)); }

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

std::wstring LauncherPath(const std::wstring& installPath) {
    return WidePath(NativePath(installPath) / NativePath(kLauncherExecutableName));
}

// The unsigned decimal number at the start of text (after white space); 0 when
// there is none or it does not fit 32 bits.
uint32_t LeadingNumber(const std::wstring& text) {
    size_t pos = text.find_first_not_of(L" \t\n\v\f\r");
    if (pos == std::wstring::npos || text[pos] < L'0' || text[pos] > L'9') return 0;
    uint64_t value = 0;
    for (; pos < text.size() && text[pos] >= L'0' && text[pos] <= L'9'; ++pos) {
        value = value * 10 + static_cast<uint64_t>(text[pos] - L'0');
        if (value > std::numeric_limits<uint32_t>::max()) return 0;
    }
    return static_cast<uint32_t>(value);
}

// The values in the order they are written; a value the entry leaves out is
// deleted, so no value of an earlier entry outlives this one.
std::vector<platform::RegistryValueChange> EntryChanges(const UninstallRegistryInfo& info) {
    std::vector<platform::RegistryValueChange> values;
    const auto text = [&](const wchar_t* name, const std::wstring& value) {
        values.push_back({name, value.empty(), platform::reg::kSz, platform::RegistryStringData(value)});
    };
    const auto number = [&](const wchar_t* name, uint32_t value, bool always) {
        values.push_back({name, !always && value == 0, platform::reg::kDword, platform::RegistryDwordData(value)});
    };
    text(L"DisplayName", info.DisplayName);
    text(L"DisplayVersion", info.DisplayVersion);
    text(L"Publisher", info.Publisher);
    text(L"InstallLocation", info.InstallLocation);
    text(L"UninstallString", info.UninstallString);
    text(L"ModifyPath", info.ModifyPath);
    text(L"DisplayIcon", info.DisplayIcon);
    text(L"HelpLink", info.HelpLink);
    text(L"URLInfoAbout", info.URLInfoAbout);
    text(L"URLUpdateInfo", info.URLUpdateInfo);
    text(L"InstallDate", info.InstallDate);
    text(L"InstallSource", info.InstallSource);
    text(L"Language", info.Language);
    text(L"Comments", info.Comments);
    text(L"Contact", info.Contact);
    number(L"EstimatedSize", info.EstimatedSize, false);
    number(L"VersionMajor", info.VersionMajor, false);
    number(L"VersionMinor", info.VersionMinor, false);
    number(L"NoModify", info.NoModify ? 1 : 0, true);
    number(L"NoRepair", info.NoRepair ? 1 : 0, true);
    number(L"NoRemove", info.NoRemove ? 1 : 0, true);
    return values;
}

ErrorCode MapDeleteError(uint32_t win32Code) {
    switch (win32Code) {
        case win32::kPathNotFound: return ErrorCode::RegistryKeyNotFound;
        case win32::kAccessDenied: return ErrorCode::RegistryAccessDenied;
        case win32::kNotEnoughMemory:
        case win32::kOutOfMemory: return ErrorCode::InsufficientMemory;
        case win32::kInvalidParameter: return ErrorCode::InvalidArguments;
        default: return ErrorCode::InternalError;
    }
}

}  // namespace

void RegistryKeyHolder::Own(platform::RegistryKeyHandle key) {
    Release();
    key_ = key;
    owned_ = true;
}

void RegistryKeyHolder::Release() {
    if (key_ != 0 && owned_) registry_.CloseKey(key_);
    key_ = 0;
    owned_ = false;
}

RegistryManager::RegistryManager() : RegistryManager(platform::OpenMachineRegistry()) {}

RegistryManager::RegistryManager(std::unique_ptr<platform::Registry> registry) : registry_(std::move(registry)) {}

ErrorCode RegistryManager::WriteUninstallInfo(const std::wstring& installPath, const std::wstring& version,
                                              const std::wstring& iconPath, const std::wstring& uninstallerPath) {
    kLog.Info("Writing uninstall information to registry");
    return UpdateUninstallRegistry(CreateUninstallInfo(installPath, version, iconPath, uninstallerPath));
}

UninstallRegistryInfo RegistryManager::CreateUninstallInfo(const std::wstring& installPath,
                                                           const std::wstring& version, const std::wstring& iconPath,
                                                           const std::wstring& uninstallerPath) {
    const std::wstring company = Utf8ToWide(version::kCompanyName);
    UninstallRegistryInfo info;
    info.DisplayName = Utf8ToWide(version::kProductName);
    info.DisplayVersion = version;
    info.Publisher = company;
    info.InstallLocation = installPath;
    info.UninstallString = BuildUninstallString(installPath, uninstallerPath);
    info.DisplayIcon = (!iconPath.empty() && Exists(iconPath) ? iconPath : LauncherPath(installPath)) + L",0";
    info.HelpLink = kSupportUrl;
    info.URLInfoAbout = kUpdatesUrl;
    info.URLUpdateInfo = kUpdatesUrl;
    info.EstimatedSize = CalculateEstimatedSize(installPath);
    info.VersionMajor = ParseVersionMajor(version);
    info.VersionMinor = ParseVersionMinor(version);
    info.InstallDate = GetInstallDate();
    info.Language = L"1033";
    info.Comments = kProductTagline;
    info.Contact = company;
    return info;
}

ErrorCode RegistryManager::UpdateUninstallRegistry(const UninstallRegistryInfo& info) {
    kLog.Debug("Updating uninstall registry information");
    const ErrorCode result = WriteUninstallKey(info);
    const bool success = result == ErrorCode::Success;
    JsonlLogger::Instance().LogRegistryOperation("write_uninstall_info", WideToUtf8Lossy(kUninstallKeyPath), success);
    if (success) {
        kLog.Info("Uninstall information written successfully");
    } else {
        kLog.Error("Failed to write uninstall information");
    }
    return result;
}

ErrorCode RegistryManager::WriteUninstallKey(const UninstallRegistryInfo& info) {
    RegistryKeyHolder key(*registry_);
    platform::RegistryKeyHandle handle = 0;
    if (registry_->CreateKey(kUninstallKeyPath, handle) != 0) {
        kLog.Error("Failed to create uninstall registry key");
        return ErrorCode::RegistryAccessDenied;
    }
    key.Own(handle);
    // One change of the key: a concurrent writer's entry is never mixed into this one.
    if (registry_->ChangeValues(key.get(), EntryChanges(info)) != 0) return ErrorCode::RegistryWriteFailed;
    return ErrorCode::Success;
}

ErrorCode RegistryManager::RemoveUninstallInfo() {
    kLog.Info("Removing uninstall information from registry");
    const ErrorCode result = DeleteRegistryKey(kUninstallKeyPath);
    const bool success = result == ErrorCode::Success;
    JsonlLogger::Instance().LogRegistryOperation("remove_uninstall_info", WideToUtf8Lossy(kUninstallKeyPath), success);
    if (success) {
        kLog.Info("Uninstall information removed successfully");
    } else {
        kLog.Error("Failed to remove uninstall information");
    }
    return result;
}

ErrorCode RegistryManager::DeleteRegistryKey(const std::wstring& keyPath) {
    const std::string key = WideToUtf8Lossy(keyPath);
    kLog.Debug("Deleting registry key: " + key + " (recursive)");
    const uint32_t err = registry_->DeleteTree(keyPath);
    if (err == 0) {
        kLog.Debug("Registry key deleted successfully: " + key);
        return ErrorCode::Success;
    }
    if (err == win32::kFileNotFound) {
        kLog.Debug("Registry key not found for deletion: " + key);
        return ErrorCode::Success;
    }
    LogRegistryError("RegDeleteKey", keyPath, err);
    return MapDeleteError(err);
}

void RegistryManager::LogRegistryError(const std::string& operation, const std::wstring& keyPath,
                                       uint32_t win32Code) noexcept {
    try {
        std::string message = operation + " failed";
        if (!keyPath.empty()) message += " for key: " + WideToUtf8Lossy(keyPath);
        message += " - Error: " + std::to_string(win32Code) + " (" + WideToUtf8Lossy(FormatWin32Error(win32Code)) + ")";
        kLog.Error(message);
    } catch (...) {
        // Nothing to report with.
    }
}

std::wstring RegistryManager::BuildUninstallString(const std::wstring& installPath,
                                                   const std::wstring& uninstallerPath) {
    if (!uninstallerPath.empty() && Exists(uninstallerPath)) return Quoted(uninstallerPath);
    const std::wstring besideInstall = JoinPathText(installPath, L"uninstall.exe");
    if (Exists(besideInstall)) return Quoted(besideInstall);
    return Quoted(LauncherPath(installPath)) + L" --uninstall";
}

std::wstring RegistryManager::GetInstallDate() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    if (!::gmtime_r(&now, &utc)) return {};
    char text[32];
    if (std::strftime(text, sizeof text, "%Y%m%d", &utc) == 0) return {};
    return Utf8ToWide(text);
}

uint32_t RegistryManager::CalculateEstimatedSize(const std::wstring& installPath) {
    if (installPath.empty()) return 0;
    const fs::path root = NativePath(installPath);
    if (!PathExists(root)) return 0;
    uint64_t bytes = 0;
    // A link (a junction too) is neither counted nor entered: it may loop or lead anywhere.
    const auto failure = WalkWithoutLinks(root, [&bytes](const WalkedEntry& entry) {
        platform::FileStat file;
        if (entry.info.IsRegular() && platform::StatPath(entry.path, file) == 0) bytes += file.size;
        return WalkStep::Continue;
    });
    if (failure) throw fs::filesystem_error("cannot list folder", failure->folder, failure->error);
    return static_cast<uint32_t>(bytes / 1024);
}

uint32_t RegistryManager::ParseVersionMajor(const std::wstring& version) {
    return LeadingNumber(version.substr(0, version.find(L'.')));
}

uint32_t RegistryManager::ParseVersionMinor(const std::wstring& version) {
    const size_t first = version.find(L'.');
    if (first == std::wstring::npos) return 0;
    const size_t second = version.find(L'.', first + 1);
    return LeadingNumber(version.substr(first + 1, second == std::wstring::npos ? second : second - first - 1));
}

}  // namespace zuvelo
