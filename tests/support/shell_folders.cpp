#include "tests/support/shell_folders.h"

#include <stdexcept>
#include <string>
#include <system_error>

#include "platform/handles.h"
#include "platform/machine_root.h"

namespace zuvelo::test {

namespace fs = std::filesystem;

namespace {

constexpr int kCsidlPrograms = 2;
constexpr int kCsidlDesktopDirectory = 16;
constexpr int kCsidlCommonPrograms = 23;
constexpr int kCsidlCommonDesktopDirectory = 25;
constexpr int kCsidlAppData = 26;

fs::path ShellFolder(int csidl) {
    fs::path folder;
    if (const uint32_t error = platform::SpecialFolderPath(csidl, folder)) {
        throw std::runtime_error("no shell folder " + std::to_string(csidl) + ": " + std::to_string(error));
    }
    return folder;
}

// Every entry below folder, links not followed; nothing when it cannot be read.
std::set<fs::path> EntriesBelow(const fs::path& folder) {
    std::set<fs::path> entries;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        entries.insert(it->path());
    }
    return entries;
}

}  // namespace

ScopedShellFolders::ScopedShellFolders() {
    for (const int csidl : {kCsidlCommonPrograms, kCsidlPrograms, kCsidlCommonDesktopDirectory, kCsidlDesktopDirectory}) {
        const fs::path folder = ShellFolder(csidl);
        folders_.push_back({folder, EntriesBelow(folder)});
    }
    const fs::path appData = ShellFolder(kCsidlAppData);
    quickLaunch_ = appData / "Microsoft" / "Internet Explorer" / "Quick Launch";
    for (const fs::path& folder : {appData / "Microsoft", appData / "Microsoft" / "Internet Explorer", quickLaunch_}) {
        if (!fs::exists(folder)) {
            quickLaunchMissingFrom_ = folder;
            break;
        }
    }
}

ScopedShellFolders::~ScopedShellFolders() { Restore(); }

void ScopedShellFolders::Restore() {
    std::vector<fs::path> added;
    std::error_code ec;
    for (const Folder& folder : folders_) {
        for (fs::recursive_directory_iterator it(folder.path, ec), end; !ec && it != end; it.increment(ec)) {
            if (folder.before.count(it->path())) continue;
            added.push_back(it->path());
            it.disable_recursion_pending();
        }
        ec.clear();
    }
    if (!quickLaunchMissingFrom_.empty()) added.push_back(quickLaunchMissingFrom_);
    for (const fs::path& entry : added) {
        // A link goes as itself: on Windows the C++ library does not tell a link from its target.
        platform::HandleInfo info;
        if (platform::QueryPathInfo(entry, false, info) == 0 && info.IsSymlink()) {
            fs::remove(entry, ec);
        } else {
            fs::remove_all(entry, ec);
        }
    }
}

}  // namespace zuvelo::test
