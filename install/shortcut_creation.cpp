#include <filesystem>
#include <initializer_list>
#include <memory>
#include <string_view>
#include <system_error>
#include <vector>

#include "common/error_codes.h"
#include "common/paths.h"
#include "common/text.h"
#include "install/product_identity.h"
#include "install/shortcut_creator.h"
#include "install/shortcut_log.h"
#include "platform/machine_root.h"
#include "platform/shell_link.h"
#include "platform/win32_error.h"

namespace zuvelo {

namespace {

namespace fs = std::filesystem;
using shortcut_log::kLog;
using shortcut_log::LogComError;
using shortcut_log::Text;

constexpr const wchar_t* kProductName = L"Zuvelo";
constexpr const wchar_t* kForbiddenNameCharacters = L"\\/:*?\"<>|";
constexpr size_t kMaxNameLength = 255;
constexpr const wchar_t* kUninstallArgument = L"--uninstall";
constexpr const wchar_t* kUninstallIcon = L"C:\\Windows\\System32\\appwiz.cpl";

constexpr int kCsidlPrograms = 2;
constexpr int kCsidlDesktopDirectory = 16;
constexpr int kCsidlCommonPrograms = 23;
constexpr int kCsidlCommonDesktopDirectory = 25;
constexpr int kCsidlAppData = 26;

// Any entry at all; a failing test other than "not found" throws.
bool Exists(const std::wstring& path) { return PathExists(NativePath(path)); }

// Joined by the file-system library's rules: one separator between the parts.
std::wstring Join(const std::wstring& base, std::initializer_list<const wchar_t*> names) {
    fs::path path = NativePath(base);
    for (const wchar_t* name : names) path /= NativePath(name);
    return WidePath(path);
}

std::wstring ParentOf(const std::wstring& path) { return WidePath(NativePath(path).parent_path()); }

bool IsValidName(const std::wstring& name) {
    return !name.empty() && name.size() <= kMaxNameLength &&
           name.find_first_of(kForbiddenNameCharacters) == std::wstring::npos;
}

ShortcutInfo MainShortcut(ShortcutLocation location, const std::wstring& target, const std::wstring& workingDir) {
    ShortcutInfo shortcut;
    shortcut.name = kProductName;
    shortcut.description = kProductTagline;
    shortcut.targetPath = target;
    shortcut.workingDirectory = workingDir.empty() ? ParentOf(target) : workingDir;
    shortcut.iconPath = target;
    shortcut.location = location;
    return shortcut;
}

void PointAt(ShortcutInfo& shortcut, const std::wstring& target, const std::wstring& arguments) {
    shortcut.targetPath = target;
    shortcut.workingDirectory = ParentOf(target);
    shortcut.arguments = arguments;
}

// What the uninstall shortcut starts: the given launcher with "--uninstall" when it
// exists, else an installed uninstaller, else the launcher with "--uninstall".
ShortcutInfo UninstallShortcut(const std::wstring& installPath, const std::wstring& launcherPath) {
    ShortcutInfo shortcut;
    shortcut.name = L"Uninstall Zuvelo";
    shortcut.description = L"Uninstall Zuvelo from your computer";
    shortcut.iconPath = kUninstallIcon;
    shortcut.runAsAdmin = true;

    const std::wstring launcherUninstaller = Join(installPath, {kLauncherFolderName, kUninstallerExecutableName});
    const std::wstring clientUninstaller = Join(installPath, {kClientFolderName, kUninstallerExecutableName});
    if (!launcherPath.empty()) {
        if (Exists(launcherPath)) {
            PointAt(shortcut, launcherPath, kUninstallArgument);
            return shortcut;
        }
        kLog.Warning("Electron launcher not found for uninstall shortcut: " + Text(launcherPath) +
                     " (will attempt fallbacks)");
    }
    if (Exists(launcherUninstaller)) {
        PointAt(shortcut, launcherUninstaller, L"");
    } else if (Exists(clientUninstaller)) {
        PointAt(shortcut, clientUninstaller, L"");
    } else {
        const std::wstring launcherInFolder = Join(installPath, {kLauncherFolderName, kLauncherExecutableName});
        PointAt(shortcut, Exists(launcherInFolder) ? launcherInFolder : Join(installPath, {kLauncherExecutableName}),
                kUninstallArgument);
    }
    return shortcut;
}

// SHGetSpecialFolderPath: 0 or 222 with its ERROR line.
ErrorCode SpecialFolder(int csidl, fs::path& folder) {
    if (const uint32_t error = platform::SpecialFolderPath(csidl, folder)) {
        kLog.Error("SHGetSpecialFolderPath failed for CSIDL " + std::to_string(csidl) + ": " + std::to_string(error));
        return ErrorCode::ShellFolderAccessFailed;
    }
    return ErrorCode::Success;
}

ErrorCode QuickLaunchFolder(fs::path& folder) {
    fs::path appData;
    if (platform::SpecialFolderPath(kCsidlAppData, appData) != 0) return ErrorCode::ShortcutCreateFailed;
    const fs::path quickLaunch = appData / "Microsoft" / "Internet Explorer" / "Quick Launch";
    std::error_code ec;
    if (!fs::exists(quickLaunch, ec)) return ErrorCode::ShortcutCreateFailed;
    folder = quickLaunch;
    return ErrorCode::Success;
}

// Makes the link's folder when missing: 0 or 222.
ErrorCode EnsureShellFolder(const std::wstring& folder) {
    if (Exists(folder)) return ErrorCode::Success;
    kLog.Debug("Creating shell folder: " + Text(folder));
    std::error_code ec;
    fs::create_directories(NativePath(folder), ec);
    if (ec) {
        const uint32_t error = platform::Win32ErrorFromErrorCode(ec);
        kLog.Error("Failed to create shell folder: " + Text(folder) + " - " + Text(FormatWin32Error(error)));
        return ErrorCode::ShellFolderAccessFailed;
    }
    kLog.Debug("Shell folder created successfully: " + Text(folder));
    return ErrorCode::Success;
}

// The link's fields in the shell's order; a failure that makes the link wrong
// ends it, one that only loses a nicety is a warning.
ErrorCode Configure(platform::ShellLink& link, const ShortcutInfo& shortcut) {
    const auto failed = [](platform::HResult result, const char* operation) {
        if (!platform::HResultFailed(result)) return false;
        LogComError(operation, result);
        return true;
    };
    platform::HResult result = link.SetPath(shortcut.targetPath);
    if (failed(result, "IShellLink::SetPath")) return MapShortcutHResult(result);
    if (!shortcut.arguments.empty()) {
        result = link.SetArguments(shortcut.arguments);
        if (failed(result, "IShellLink::SetArguments")) return MapShortcutHResult(result);
    }
    if (!shortcut.workingDirectory.empty()) {
        result = link.SetWorkingDirectory(shortcut.workingDirectory);
        if (failed(result, "IShellLink::SetWorkingDirectory")) return MapShortcutHResult(result);
    } else if (platform::HResultFailed(link.SetWorkingDirectory(ParentOf(shortcut.targetPath)))) {
        kLog.Warning("Failed to set default working directory");
    }
    if (!shortcut.description.empty()) {
        result = link.SetDescription(shortcut.description);
        if (failed(result, "IShellLink::SetDescription")) return MapShortcutHResult(result);
    }
    if (!shortcut.iconPath.empty()) {
        if (failed(link.SetIconLocation(shortcut.iconPath, shortcut.iconIndex), "IShellLink::SetIconLocation")) {
            kLog.Warning("Failed to set shortcut icon");
        }
    } else if (platform::HResultFailed(link.SetIconLocation(shortcut.targetPath, 0))) {
        kLog.Warning("Failed to set default icon from target");
    }
    if (failed(link.SetShowCmd(shortcut.showCmd), "IShellLink::SetShowCmd")) {
        kLog.Warning("Failed to set window state");
    }
    // The hotkey text is not interpreted: a set one clears any key.
    if (!shortcut.hotkey.empty() && platform::HResultFailed(link.SetHotkey(0))) {
        kLog.Warning("Failed to set hotkey");
    }
    return ErrorCode::Success;
}

}  // namespace

ErrorCode ShortcutCreator::CreateShortcutsForInstallation(const std::wstring& installPath,
                                                          const std::wstring& targetPath,
                                                          const std::wstring& workingDir,
                                                          const std::wstring& launcherPath) {
    kLog.Info("Creating shortcuts for installation: " + Text(installPath));
    if (const ErrorCode result = Initialize(); result != ErrorCode::Success) return result;

    const std::wstring target = targetPath.empty() ? Join(installPath, {kLauncherExecutableName}) : targetPath;
    std::vector<ShortcutInfo> shortcuts{MainShortcut(ShortcutLocation::StartMenu, target, workingDir),
                                        MainShortcut(ShortcutLocation::Desktop, target, workingDir)};
    const ShortcutInfo uninstall = UninstallShortcut(installPath, launcherPath);
    if (Exists(uninstall.targetPath)) {
        shortcuts.push_back(uninstall);
    } else {
        kLog.Warning("Skipping uninstall shortcut creation - no valid target found under installer path: " +
                     (uninstall.targetPath.empty() ? "<none>" : WideToUtf8(uninstall.targetPath)));
    }

    const ErrorCode result = CreateShortcuts(shortcuts);
    if (result == ErrorCode::Success) {
        kLog.Info("All shortcuts created successfully");
        platform::NotifyShellOfChanges();
    } else {
        kLog.Error("Failed to create some shortcuts");
    }
    return result;
}

ErrorCode ShortcutCreator::CreateShortcuts(const std::vector<ShortcutInfo>& shortcuts) {
    kLog.Info("Creating " + std::to_string(shortcuts.size()) + " shortcuts");
    ErrorCode last = ErrorCode::Success;
    size_t created = 0;
    for (const ShortcutInfo& shortcut : shortcuts) {
        const ErrorCode result = CreateShortcut(shortcut);
        if (result == ErrorCode::Success) {
            ++created;
        } else {
            kLog.Warning("Failed to create shortcut: " + Text(shortcut.name));
            last = result;
        }
    }
    kLog.Info("Successfully created " + std::to_string(created) + " of " + std::to_string(shortcuts.size()) +
              " shortcuts");
    return last;
}

ErrorCode ShortcutCreator::CreateShortcut(const ShortcutInfo& shortcut) {
    kLog.Debug("Creating shortcut: " + Text(shortcut.name));
    if (const ErrorCode result = Initialize(); result != ErrorCode::Success) return result;

    if (shortcut.targetPath.empty()) {
        kLog.Error("Shortcut target path is empty");
        return ErrorCode::InvalidArguments;
    }
    if (!Exists(shortcut.targetPath)) {
        kLog.Error("Shortcut target does not exist: " + Text(shortcut.targetPath));
        return ErrorCode::FileNotFound;
    }
    if (!IsValidName(shortcut.name)) {
        kLog.Error("Invalid shortcut name: " + Text(shortcut.name));
        return ErrorCode::InvalidArguments;
    }
    std::wstring path;
    if (const ErrorCode result = GetShortcutPath(shortcut, path); result != ErrorCode::Success) return result;

    const ErrorCode result = CreateShortcutInternal(shortcut, path);
    const bool created = result == ErrorCode::Success;
    JsonlLogger::Instance().LogShortcutCreate(Text(shortcut.name), Text(path), created);
    kLog.Log(created ? LogLevel::Info : LogLevel::Error,
             (created ? "Shortcut created successfully: " : "Failed to create shortcut: ") + Text(shortcut.name));
    return result;
}

ErrorCode ShortcutCreator::GetShellFolderPath(ShortcutLocation location, ShortcutScope scope, std::wstring& folder) {
    const bool allUsers = scope == ShortcutScope::AllUsers;
    fs::path found;
    ErrorCode result = ErrorCode::Success;
    switch (location) {
        case ShortcutLocation::StartMenu:
            result = SpecialFolder(allUsers ? kCsidlCommonPrograms : kCsidlPrograms, found);
            break;
        case ShortcutLocation::Desktop:
            result = SpecialFolder(allUsers ? kCsidlCommonDesktopDirectory : kCsidlDesktopDirectory, found);
            break;
        case ShortcutLocation::QuickLaunch: result = QuickLaunchFolder(found); break;
        case ShortcutLocation::Taskbar:
            kLog.Warning("Taskbar pinning not implemented in GetShellFolderPath");
            return ErrorCode::ShortcutCreateFailed;
        default:
            kLog.Error("Unknown shortcut type: " + std::to_string(static_cast<int32_t>(location)));
            return ErrorCode::InvalidArguments;
    }
    if (result == ErrorCode::Success) folder = WidePath(found);
    return result;
}

ErrorCode ShortcutCreator::GetShortcutPath(const ShortcutInfo& shortcut, std::wstring& path) {
    std::wstring folder;
    if (const ErrorCode result = GetShellFolderPath(shortcut.location, shortcut.scope, folder);
        result != ErrorCode::Success) {
        return result;
    }
    const std::wstring file = SanitizeShortcutName(shortcut) + L".lnk";
    fs::path link = NativePath(folder);
    if (shortcut.location == ShortcutLocation::StartMenu) link /= NativePath(kProductName);
    path = WidePath(link / NativePath(file));
    return ErrorCode::Success;
}

std::wstring ShortcutCreator::SanitizeShortcutName(const ShortcutInfo& shortcut) {
    std::wstring name = shortcut.name;
    for (wchar_t& c : name) {
        if (std::wstring_view(kForbiddenNameCharacters).find(c) != std::wstring_view::npos) c = L'_';
    }
    const size_t first = name.find_first_not_of(L" \t");
    name = first == std::wstring::npos ? L"" : name.substr(first, name.find_last_not_of(L" \t") - first + 1);
    if (name.empty()) name = L"Shortcut";
    if (name.size() > kMaxNameLength) name.resize(kMaxNameLength);
    return name;
}

ErrorCode ShortcutCreator::CreateShortcutInternal(const ShortcutInfo& shortcut, const std::wstring& shortcutPath) {
    kLog.Debug("Creating shortcut internally: " + Text(shortcutPath));
    if (const ErrorCode result = EnsureShellFolder(ParentOf(shortcutPath)); result != ErrorCode::Success) return result;

    // A fresh link for every shortcut, so nothing of the previous one carries over.
    std::unique_ptr<platform::ShellLink> link;
    if (const platform::HResult result = platform::CreateShellLink(link); platform::HResultFailed(result)) {
        LogComError("CoCreateInstance(IShellLink)", result);
        return MapShortcutHResult(result);
    }
    if (const ErrorCode result = Configure(*link, shortcut); result != ErrorCode::Success) return result;
    if (const platform::HResult result = link->Save(shortcutPath); platform::HResultFailed(result)) {
        LogComError("IPersistFile::Save", result, shortcutPath);
        return MapShortcutHResult(result);
    }
    if (shortcut.runAsAdmin) {
        kLog.Debug("Setting shortcut elevation: " + Text(shortcutPath));
        kLog.Warning("Shortcut elevation setting not fully implemented");
    }
    kLog.Debug("Shortcut created successfully: " + Text(shortcutPath));
    return ErrorCode::Success;
}

}  // namespace zuvelo
