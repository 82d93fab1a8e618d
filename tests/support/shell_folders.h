#pragma once

#include <filesystem>
#include <set>
#include <vector>

namespace zuvelo::test {

// The shell folders shortcuts go to, as SHGetSpecialFolderPathW gives them: below
// the machine root on Linux (make it after the ScopedMachineRoot), the machine's
// own on Windows, where tests share them (such tests hold the ctest lock
// windows_shell_folders). Puts them back as it found them: whatever appears in
// them while it lives is removed by Restore and at its end.
class ScopedShellFolders {
public:
    ScopedShellFolders();
    ~ScopedShellFolders();
    ScopedShellFolders(const ScopedShellFolders&) = delete;
    ScopedShellFolders& operator=(const ScopedShellFolders&) = delete;

    // Removes every entry that was not there at the start (links as themselves).
    void Restore();

    const std::filesystem::path& commonPrograms() const { return folders_[0].path; }
    const std::filesystem::path& userPrograms() const { return folders_[1].path; }
    const std::filesystem::path& commonDesktop() const { return folders_[2].path; }
    const std::filesystem::path& userDesktop() const { return folders_[3].path; }
    // The current user's Quick Launch folder (below the roaming application data),
    // whether it exists or not.
    const std::filesystem::path& quickLaunch() const { return quickLaunch_; }

private:
    struct Folder {
        std::filesystem::path path;
        std::set<std::filesystem::path> before;  // every entry below it at the start
    };
    std::vector<Folder> folders_;
    std::filesystem::path quickLaunch_;
    std::filesystem::path quickLaunchMissingFrom_;  // its first missing folder at the start
};

}  // namespace zuvelo::test
