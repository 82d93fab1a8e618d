#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/error_codes.h"
#include "platform/registry.h"

namespace zuvelo {

// The values of the product's uninstall entry; each field is the value of the same name.
struct UninstallRegistryInfo {
    std::wstring DisplayName;
    std::wstring DisplayVersion;
    std::wstring Publisher;
    std::wstring InstallLocation;
    std::wstring UninstallString;
    std::wstring ModifyPath;
    std::wstring DisplayIcon;
    std::wstring HelpLink;
    std::wstring URLInfoAbout;
    std::wstring URLUpdateInfo;
    uint32_t EstimatedSize = 0;  // KiB
    uint32_t VersionMajor = 0;
    uint32_t VersionMinor = 0;
    bool NoModify = true;
    bool NoRepair = true;
    bool NoRemove = false;
    std::wstring InstallDate;
    std::wstring InstallSource;
    std::wstring Language;
    std::wstring Comments;
    std::wstring Contact;
};

// An open key, closed when released or destroyed.
class RegistryKeyHolder {
public:
    explicit RegistryKeyHolder(platform::Registry& registry) : registry_(registry) {}
    ~RegistryKeyHolder() { Release(); }
    RegistryKeyHolder(const RegistryKeyHolder&) = delete;
    RegistryKeyHolder& operator=(const RegistryKeyHolder&) = delete;

    // Takes ownership of an opened key.
    void Own(platform::RegistryKeyHandle key);
    platform::RegistryKeyHandle get() const { return key_; }
    // Closes the key when one is set and owned, then clears both.
    void Release();

private:
    platform::Registry& registry_;
    platform::RegistryKeyHandle key_ = 0;
    bool owned_ = false;
};

// Writes and removes the product's entry in the list of installed programs.
// Each operation is complete in itself.
class RegistryManager {
public:
    // On this machine's registry.
    RegistryManager();
    // On the given registry (tests).
    explicit RegistryManager(std::unique_ptr<platform::Registry> registry);

    // Creates the record for the installation and writes it: 0, 180 or 183.
    // Existence tests and the size walk throw on file-system errors.
    ErrorCode WriteUninstallInfo(const std::wstring& installPath, const std::wstring& version,
                                 const std::wstring& iconPath, const std::wstring& uninstallerPath);
    UninstallRegistryInfo CreateUninstallInfo(const std::wstring& installPath, const std::wstring& version,
                                              const std::wstring& iconPath, const std::wstring& uninstallerPath);
    // WriteUninstallKey with its registry event and log line.
    ErrorCode UpdateUninstallRegistry(const UninstallRegistryInfo& info);
    // Writes every value of the record and deletes the ones it leaves out, so no
    // value of an earlier entry outlives this one, as one change of the key (see
    // Registry::ChangeValues): 180 when the key cannot be created, 183 when the
    // values cannot be changed.
    ErrorCode WriteUninstallKey(const UninstallRegistryInfo& info);

    // Deletes the entry with its registry event; a missing entry is success.
    ErrorCode RemoveUninstallInfo();
    // Deletes the key below HKEY_LOCAL_MACHINE with everything in it; not found
    // is 0, denied 180, a missing path 181, no memory 5, a bad path 1, else 4.
    ErrorCode DeleteRegistryKey(const std::wstring& keyPath);

    // ERROR "<operation> failed[ for key: <key>] - Error: <code> (<text>)". Never fails.
    static void LogRegistryError(const std::string& operation, const std::wstring& keyPath,
                                 uint32_t win32Code) noexcept;

    // The quoted uninstaller, else "<install>\uninstall.exe" quoted when it
    // exists, else the quoted launcher with " --uninstall".
    static std::wstring BuildUninstallString(const std::wstring& installPath, const std::wstring& uninstallerPath);
    // Today in UTC as YYYYMMDD.
    static std::wstring GetInstallDate();
    // KiB of the regular files below the folder (links not followed); 0 when it
    // is missing. Walk errors throw.
    static uint32_t CalculateEstimatedSize(const std::wstring& installPath);
    // The first and second numbers of a dotted version; 0 when missing or not a
    // 32-bit number.
    static uint32_t ParseVersionMajor(const std::wstring& version);
    static uint32_t ParseVersionMinor(const std::wstring& version);

private:
    std::unique_ptr<platform::Registry> registry_;
};

}  // namespace zuvelo
