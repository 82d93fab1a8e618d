#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/error_codes.h"
#include "common/system_error.h"
#include "platform/handles.h"
#include "platform/shell_link.h"

namespace zuvelo {

enum class ShortcutLocation : int32_t { StartMenu = 0, Desktop = 1, QuickLaunch = 2, Taskbar = 3 };
// Every value other than AllUsers means the current user.
enum class ShortcutScope : int32_t { CurrentUser = 0, AllUsers = 1 };

// The description of one shortcut.
struct ShortcutInfo {
    std::wstring name;
    std::wstring description;
    std::wstring targetPath;
    std::wstring workingDirectory;
    std::wstring arguments;
    std::wstring iconPath;
    int32_t iconIndex = 0;
    int32_t showCmd = platform::kShowNormal;
    std::wstring hotkey;  // only whether it is set counts
    ShortcutLocation location = ShortcutLocation::StartMenu;
    ShortcutScope scope = ShortcutScope::AllUsers;
    bool runAsAdmin = false;
};

// What a search for product shortcuts found; complete is false when a folder or
// an entry could not be read (each such place was reported with a WARNING).
struct ShortcutSearch {
    std::vector<std::wstring> paths;
    bool complete = true;
};

// Lists the entries of the folder at folder, open as handle: 0 or the failure.
using FolderLister = std::function<SystemError(const std::filesystem::path& folder, int handle,
                                               std::vector<platform::DirectoryReader::Entry>& out)>;

// Result of a failed shell call: E_FAIL and E_ACCESSDENIED 220, E_OUTOFMEMORY 5,
// E_INVALIDARG 1, any other failure 220.
ErrorCode MapShortcutHResult(platform::HResult result);

// "<operation> failed with HRESULT: 0x<lower-case hex>[ - <context>]". Never throws
// (empty when it cannot be built).
std::string ComErrorMessage(const std::string& operation, platform::HResult result,
                            const std::wstring& context = L"") noexcept;

// Creates the product's shell links (Start menu, desktop, uninstall) and removes
// every product link again. One object serves one command or plan operation.
class ShortcutCreator {
public:
    ShortcutCreator();
    // With the folder listing the removal's search uses (tests).
    explicit ShortcutCreator(FolderLister lister);
    // Undoes its own COM initialisation; logs DEBUG "ShortcutCreator cleaned up".
    ~ShortcutCreator();
    ShortcutCreator(const ShortcutCreator&) = delete;
    ShortcutCreator& operator=(const ShortcutCreator&) = delete;

    // Prepares COM for the thread once: 0, or 4 when it cannot be initialised.
    ErrorCode Initialize();

    // The main shortcut in the Start menu and on the desktop for all users, and
    // the uninstall shortcut when a target for it exists below installPath. Empty
    // targetPath: the launcher in installPath; empty workingDir: the target's
    // folder; launcherPath, when it exists, is what the uninstall shortcut starts.
    // Returns 0 or the last shortcut's failure. Existence tests throw on
    // file-system errors other than "not found".
    ErrorCode CreateShortcutsForInstallation(const std::wstring& installPath, const std::wstring& targetPath,
                                             const std::wstring& workingDir, const std::wstring& launcherPath);
    // Each in order; a failure never stops the others. 0 or the last failure.
    ErrorCode CreateShortcuts(const std::vector<ShortcutInfo>& shortcuts);
    // Validates and writes one link on a fresh link object, then reports it:
    // 1 (no target, bad name, E_INVALIDARG), 141 (target missing), 220, 222, 5.
    ErrorCode CreateShortcut(const ShortcutInfo& shortcut);

    // The shell folder of a location: 0, 220 (Quick Launch missing, taskbar),
    // 222 (special folder unavailable) or 1 (unknown location).
    ErrorCode GetShellFolderPath(ShortcutLocation location, ShortcutScope scope, std::wstring& folder);
    // Where the link file of a shortcut goes (Start menu links in a "Zuvelo" folder).
    ErrorCode GetShortcutPath(const ShortcutInfo& shortcut, std::wstring& path);
    // The name with \ / : * ? " < > | made "_", spaces and tabs trimmed,
    // "Shortcut" when nothing is left, at most 255 characters.
    static std::wstring SanitizeShortcutName(const ShortcutInfo& shortcut);

    // Deletes every link whose name holds "Zuvelo" below the programs folders and
    // desktops of all users and the current user, then both programs folders'
    // "Zuvelo" folders. 0, 220 when something could not be read or removed, or
    // Initialize's failure. Never throws for file-system errors.
    ErrorCode RemoveAllShortcuts();
    // Programs and desktop folders (the common ones for AllUsers); empty when unavailable.
    std::wstring GetProgramsFolder(ShortcutScope scope);
    std::wstring GetDesktopFolder(ShortcutScope scope);
    // The .lnk files below folder (links to folders not followed) whose name holds
    // pattern (case-sensitive; empty matches all), in walk order. A missing folder
    // gives nothing; one that cannot be read is reported and makes it incomplete.
    ShortcutSearch FindProductShortcuts(const std::wstring& folder, const std::wstring& pattern);
    // The extension, lower-cased, is ".lnk".
    static bool IsShortcutFile(const std::wstring& path);

    // The default listing: the folder's entries in the order the file system gives.
    static SystemError ListFolder(const std::filesystem::path& folder, int handle,
                                  std::vector<platform::DirectoryReader::Entry>& out);

private:
    ErrorCode CreateShortcutInternal(const ShortcutInfo& shortcut, const std::wstring& shortcutPath);
    bool RemoveProgramsSubfolder(const std::wstring& programsFolder);

    FolderLister lister_;
    bool comInitialized_ = false;
    bool comOwned_ = false;  // this object's CoInitializeEx succeeded and is undone with it
};

}  // namespace zuvelo
