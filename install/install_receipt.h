#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "common/error_codes.h"

// What an installation consists of, written as InstallReceipt.json into the
// installation folder and read back by the uninstaller.
namespace zuvelo {

inline constexpr const wchar_t* kInstallReceiptFileName = L"InstallReceipt.json";

// The largest receipt read back. A receipt lists a few files and two shortcuts,
// some KiB even with the longest paths; the cap only keeps a hostile file from
// claiming the memory (its text is held as UTF-8, as JSON and as wide text).
inline constexpr uint64_t kMaxInstallReceiptBytes = 16ull * 1024 * 1024;

struct ReceiptComponent {
    std::wstring version;
    std::vector<std::wstring> files;
};

struct ReceiptShortcut {
    std::wstring name;
    std::wstring type;   // "START_MENU" or "DESKTOP"
    std::wstring scope;  // "ALL_USERS"
};

struct InstallReceipt {
    std::wstring version;
    std::wstring installDate;
    std::wstring installPath;
    std::wstring launcherPath;
    ReceiptComponent launcher;
    ReceiptComponent client;
    ReceiptComponent helper;
    std::vector<ReceiptShortcut> shortcuts;
    std::wstring uninstallKey;
    std::vector<std::wstring> services;
    std::vector<std::wstring> scheduledTasks;
    std::vector<std::wstring> firewallRules;
};

// The time as "YYYY-MM-DDTHH:MM:SSZ" in UTC; empty when it cannot be converted.
std::wstring FormatReceiptTime(std::chrono::system_clock::time_point time);

// A receipt with version, the date of `now`, installPath and launcherPath
// (installPath + separator + "Launcher", as text).
InstallReceipt BuildInstallReceipt(const std::wstring& installPath, const std::wstring& version,
                                   std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

// Stores the component under "launcher", "client" or "helper"; any other name
// is reported as a warning and stores nothing.
void SetReceiptComponent(InstallReceipt& receipt, const std::string& name, const ReceiptComponent& component);

// The receipt as UTF-8 JSON: keys sorted, two-space indentation, non-ASCII
// escaped, no final line break. Throws on text that is not valid Unicode.
std::string InstallReceiptToJson(const InstallReceipt& receipt);

// Writes the receipt to path beside the old one and renames it over it, so the
// previous receipt stays whole until the new one is complete; neither file is
// opened through a link. 0; 149 when it cannot be created or written; 4 when the
// text cannot be converted or the folder cannot be created.
ErrorCode WriteInstallReceipt(const InstallReceipt& receipt, const std::wstring& path);

}  // namespace zuvelo
