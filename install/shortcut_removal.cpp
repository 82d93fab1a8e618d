#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/error_codes.h"
#include "common/file_operations.h"
#include "common/paths.h"
#include "common/text.h"
#include "common/tree_walk.h"
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
using shortcut_log::kLog;
using shortcut_log::Text;

constexpr const char* kProductName = "Zuvelo";

constexpr int kCsidlPrograms = 2;
constexpr int kCsidlDesktopDirectory = 16;
constexpr int kCsidlCommonPrograms = 23;
constexpr int kCsidlCommonDesktopDirectory = 25;

bool IsNotFound(uint32_t error) { return error == win32::kFileNotFound || error == win32::kPathNotFound; }

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

// The product's links below one folder, depth first in the order each folder lists (a
// link, to a folder too, counts as what it points to and is never entered). A folder or
// entry that cannot be read is reported and passed over, so the rest is still found; one
// that is not there is passed over quietly.
class ShortcutWalk final : public TreeVisitor {
public:
    ShortcutWalk(const fs::path& folder, const fs::path::string_type& pattern, const FolderLister& lister,
                 ShortcutSearch& found)
        : folder_(folder), pattern_(pattern), lister_(lister), found_(found) {}

    WalkStep Visit(const TreeEntry& entry) override {
        const platform::HandleInfo& own = *entry.info;
        if (own.IsDirectory()) return WalkStep::Continue;
        const fs::path path = PathBelow(folder_, entry.relative);
        platform::HandleInfo target = own;
        if (own.IsSymlink()) {
            if (const uint32_t error = platform::QueryPathInfo(path, true, target)) return Unreadable(path, error);
        }
        const fs::path::string_type name = path.filename().native();
        if (!target.IsRegular() || !HasShortcutExtension(path) ||
            (!pattern_.empty() && name.find(pattern_) == fs::path::string_type::npos)) {
            return WalkStep::Continue;
        }
        try {
            found_.paths.push_back(WidePath(path));
        } catch (const std::runtime_error&) {  // a name that is not UTF-8 has no wide form
            return Unreadable(path, win32::kInvalidName);
        } catch (const std::length_error&) {
            return Unreadable(path, win32::kInvalidName);
        }
        return WalkStep::Continue;
    }

    WalkStep Failed(const TreeWalkFailure& failure) override {
        return Unreadable(PathBelow(folder_, failure.relative), failure.error.code());
    }

    SystemError List(std::string_view folder, int fd, std::vector<platform::DirectoryReader::Entry>& entries) override {
        return lister_(PathBelow(folder_, folder), fd, entries);
    }

private:
    WalkStep Unreadable(const fs::path& path, uint32_t error) {
        if (!IsNotFound(error)) {
            kLog.Warning("Failed to read folder entry while searching for shortcuts: " + Shown(path) + " - " +
                         std::to_string(error));
            found_.complete = false;
        }
        return WalkStep::Continue;
    }

    const fs::path& folder_;
    const fs::path::string_type& pattern_;
    const FolderLister& lister_;
    ShortcutSearch& found_;
};

}  // namespace

SystemError ShortcutCreator::ListFolder(const fs::path&, int handle, std::vector<platform::DirectoryReader::Entry>& out) {
    return ListFolderEntries(handle, out);
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
    if (folder.empty()) return found;
    const fs::path root = NativePath(folder);
    const fs::path::string_type wanted = NativePath(pattern).native();
    ShortcutWalk walk(root, wanted, lister_, found);
    WalkFolder(root, walk, LookAt::EveryEntry);
    return found;
}

ErrorCode ShortcutCreator::RemoveAllShortcuts() {
    kLog.Info("Removing all Zuvelo shortcuts");
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
        kLog.Debug("Removing shortcut: " + Text(path));
        const uint32_t error = platform::RemoveFile(NativePath(path));
        if (error == 0) {
            // A removal reports false in the shortcut event: nothing was created.
            JsonlLogger::Instance().LogShortcutCreate(Shown(NativePath(path).filename()), Text(path), false);
        } else if (!IsNotFound(error)) {
            kLog.Warning("Failed to remove shortcut: " + Text(path) + " - " + std::to_string(error));
            warnings = true;
        }
    }
    // Links are made in the common programs folder; an earlier per-user one may remain.
    for (const std::wstring& folder : programsFolders) warnings |= !RemoveProgramsSubfolder(folder);

    platform::NotifyShellOfChanges();
    kLog.Info(std::string("Shortcut removal ") + (warnings ? "completed with warnings" : "completed successfully"));
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
        kLog.Warning("Failed to remove Zuvelo program folder: " + Text(FormatWin32Error(error)));
        return false;
    }
    return true;
}

}  // namespace zuvelo
