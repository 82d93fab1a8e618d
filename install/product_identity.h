#pragma once

// How the installation presents the product to the system: names, addresses and
// the places the launcher and the helpers are installed.
namespace zuvelo {

// The product word, " - " and a one-line description: the uninstall entry's
// comment and the main shortcut's description.
inline constexpr const wchar_t* kProductTagline = L"Zuvelo - Desktop launcher and client";

inline constexpr const wchar_t* kSupportUrl = L"https://www.zuvelo.example/support";
inline constexpr const wchar_t* kUpdatesUrl = L"https://www.zuvelo.example/updates";

// The product's entry in the list of installed programs, below HKEY_LOCAL_MACHINE.
inline constexpr const wchar_t* kUninstallKeyPath = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Zuvelo";

inline constexpr const wchar_t* kLauncherExecutableName = L"ZuveloLauncher.exe";
inline constexpr const wchar_t* kUninstallerExecutableName = L"ZuveloUninstall.exe";
// The folder below the installation that holds the launcher and the helpers.
inline constexpr const wchar_t* kLauncherFolderName = L"Launcher";
// The folder below the installation that holds the client.
inline constexpr const wchar_t* kClientFolderName = L"Client";

}  // namespace zuvelo
