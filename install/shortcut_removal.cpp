#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "common/error_codes.h"
#include "common/file_operations.h"
#include "common/paths.h"
#include "common/text.h"
#include "install/shortcut_creator.h"
#include "install/shortcut_log.h"
#include "platform/file_io.h"
#include "platform/handles.h"
#include "platform/machine_root.h"
#include "platform/shell_link.h"
#include "platform/win32_error.h"

namespace zuvelo {

namespace {

namespace fs = std::filesystem;
namespace win32 = platform::win32;
using shortcut_log::Log;
using shortcut_log::Text;

constexpr const char* kProductName = "Zuvelo";

constexpr int kCsidlPrograms = 2;
constexpr int kCsidlDesktopDirectory = 16;
constexpr int kCsidlCommonPrograms = 23;
constexpr int kCsidlCommonDesktopDirectory = 25;

bool IsNotFound(uint32_t error) { return error == win32::kFileNotFound || error == win32::kPathNotFound; }

uint32_t Win32Error(const std::error_code& ec) { return platform::Win32ErrorFromErrorCode(ec); }

std::wstring FolderOf(int csidl) {
    fs::path folder;
    return platform::SpecialFolderPath(csidl, folder) == 0 ? WidePath(folder) : std::wstring();
}

// A native path for a message, whatever its bytes.
std::string Shown(const fs::path& path) { return ToUtf8Lossy(path); }

// Compared in the path's own characters, so no name needs converting.
bool HasShortcutExtension(const fs::path& path) {
    const fs::path::string_type extension = path.extension().native();
    static constexpr char kExtension[] = ".lnk";
    if (extension.size() != sizeof(kExtension) - 1) return false;
    for (size_t i = 0; i < extension.size(); ++i) {
        const auto c = extension[i];
        if ((c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c) != kExtension[i]) return false;
    }
    return true;
}

// One entry of a folder, as itself: a folder only when empty, a link never followed.
uint32_t RemoveEntryOf(const fs::path& parent, const std::string& name, bool directory) {
    platform::UniqueFd folder;
    if (const uint32_t error = platform::OpenPathHandle(parent, folder)) return error;
    return platform::RemoveEntryAt(folder.get(), name, directory);
}

void ReportUnreadable(const fs::path& path, uint32_t error, ShortcutSearch& found) {
    Log(LogLevel::Warning,
        "Failed to read folder entry while searching for shortcuts: " + Shown(path) + " - " + std::to_string(error));
    found.complete = false;
}

}  // namespace

uint32_t ShortcutCreator::ListFolder(const fs::path& folder, std::vector<fs::directory_entry>& out) {
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) out.push_back(*it);
    return ec ? Win32Error(ec) : 0;
}

std::wstring ShortcutCreator::GetProgramsFolder(ShortcutScope scope) {
    return FolderOf(scope == ShortcutScope::AllUsers ? kCsidlCommonPrograms : kCsidlPrograms);
}

std::wstring ShortcutCreator::GetDesktopFolder(ShortcutScope scope) {
    return FolderOf(scope == ShortcutScope::AllUsers ? kCsidlCommonDesktopDirectory : kCsidlDesktopDirectory);
}

bool ShortcutCreator::IsShortcutFile(const std::wstring& path) { return HasShortcutExtension(NativePath(path)); }

ShortcutSearch ShortcutCreator::FindProductShortcuts(const std::wstring& folder, const std::wstring& pattern) {
    ShortcutSearch found;
    if (!folder.empty()) SearchFolder(NativePath(folder), NativePath(pattern).native(), found);
    return found;
}

// Depth first in the order the folder lists; a folder or entry that cannot be
// read is passed over with a warning, so the rest is still found.
void ShortcutCreator::SearchFolder(const fs::path& folder, const fs::path::string_type& pattern,
                                   ShortcutSearch& found) {
    std::vector<fs::directory_entry> entries;
    if (const uint32_t error = lister_(folder, entries)) {
        if (!IsNotFound(error)) ReportUnreadable(folder, error, found);
        return;
    }
    for (const fs::directory_entry& entry : entries) {
        // The entry itself first (a link or junction is never descended into), then
        // what it stands for: a link counts as what it points to.
        platform::HandleInfo own;
        uint32_t error = platform::QueryPathInfo(entry.path(), false, own);
        if (error == 0 && own.IsDirectory()) {
            SearchFolder(entry.path(), pattern, found);
            continue;
        }
        platform::HandleInfo target = own;
        if (error == 0 && own.IsSymlink()) error = platform::QueryPathInfo(entry.path(), true, target);
        if (error != 0) {
            if (!IsNotFound(error)) ReportUnreadable(entry.path(), error, found);
            continue;
        }
        const fs::path::string_type name = entry.path().filename().native();
        if (!target.IsRegular() || !HasShortcutExtension(entry.path()) ||
            (!pattern.empty() && name.find(pattern) == fs::path::string_type::npos)) {
            continue;
        }
        try {
            found.paths.push_back(WidePath(entry.path()));
        } catch (const std::runtime_error&) {  // a name that is not UTF-8 has no wide form
            ReportUnreadable(entry.path(), win32::kInvalidName, found);
        } catch (const std::length_error&) {
            ReportUnreadable(entry.path(), win32::kInvalidName, found);
        }
    }
}

ErrorCode ShortcutCreator::RemoveAllShortcuts() {
    Log(LogLevel::Info, "Removing all Zuvelo shortcuts");
    if (const ErrorCode result = Initialize(); result != ErrorCode::Success) return result;

    const std::wstring pattern = Utf8ToWide(kProductName);
    const std::wstring programsFolders[] = {GetProgramsFolder(ShortcutScope::AllUsers),
                                            GetProgramsFolder(ShortcutScope::CurrentUser)};
    const std::wstring searched[] = {programsFolders[0], programsFolders[1], GetDesktopFolder(ShortcutScope::AllUsers),
                                     GetDesktopFolder(ShortcutScope::CurrentUser)};
    bool warnings = false;
    std::vector<std::wstring> shortcuts;
    for (const std::wstring& folder : searched) {
        ShortcutSearch found = FindProductShortcuts(folder, pattern);
        warnings |= !found.complete;
        shortcuts.insert(shortcuts.end(), found.paths.begin(), found.paths.end());
    }

    for (const std::wstring& path : shortcuts) {
        Log(LogLevel::Debug, "Removing shortcut: " + Text(path));
        const uint32_t error = platform::RemoveFile(NativePath(path));
        if (error == 0) {
            // A removal reports false in the shortcut event: nothing was created.
            JsonlLogger::Instance().LogShortcutCreate(Shown(NativePath(path).filename()), Text(path), false);
        } else if (!IsNotFound(error)) {
            Log(LogLevel::Warning, "Failed to remove shortcut: " + Text(path) + " - " + std::to_string(error));
            warnings = true;
        }
    }
    // Links are made in the common programs folder; an earlier per-user one may remain.
    for (const std::wstring& folder : programsFolders) warnings |= !RemoveProgramsSubfolder(folder);

    platform::NotifyShellOfChanges();
    Log(LogLevel::Info, std::string("Shortcut removal ") + (warnings ? "completed with warnings" : "completed successfully"));
    return warnings ? ErrorCode::ShortcutCreateFailed : ErrorCode::Success;
}

// The programs folder's "Zuvelo" folder: removed when empty, else with everything
// in it. False (with a WARNING) when it stays.
bool ShortcutCreator::RemoveProgramsSubfolder(const std::wstring& programsFolder) {
    if (programsFolder.empty()) return true;
    const fs::path folder = NativePath(programsFolder) / kProductName;
    platform::HandleInfo info;
    uint32_t error = platform::QueryPathInfo(folder, false, info);
    // A link of that name goes as itself; anything else that is no folder stays.
    if (error == 0 && !info.IsDirectory() && !info.IsSymlink()) return true;
    if (error == 0) error = RemoveEntryOf(folder.parent_path(), kProductName, info.IsDirectory());
    // With everything in it, through the pinned removal: nothing inside is followed.
    if (error == win32::kDirNotEmpty &&
        FileOperations().RemoveDirectoryTree(WidePath(folder), true) == ErrorCode::Success) {
        return true;
    }
    if (error != 0 && !IsNotFound(error)) {
        Log(LogLevel::Warning, "Failed to remove Zuvelo program folder: " + Text(FormatWin32Error(error)));
        return false;
    }
    return true;
}

}  // namespace zuvelo
