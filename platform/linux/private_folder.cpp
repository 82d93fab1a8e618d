#include "platform/private_folder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "platform/win32_error.h"

namespace zuvelo::platform {

namespace {

PrivateFolderState Classify(const struct stat& st) {
    if (S_ISLNK(st.st_mode)) return PrivateFolderState::Link;
    if (!S_ISDIR(st.st_mode)) return PrivateFolderState::NotFolder;
    if (st.st_uid != ::geteuid()) return PrivateFolderState::ForeignOwner;
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return PrivateFolderState::OpenToOthers;
    return PrivateFolderState::Usable;
}

uint32_t CreateParents(const std::filesystem::path& path) {
    const std::filesystem::path parent = path.parent_path();
    if (parent.empty()) return 0;
    std::error_code ec;
    std::filesystem::create_directories(parent, ec);
    return ec ? Win32ErrorFromErrno(ec.value()) : 0;
}

}  // namespace

std::filesystem::path TemporaryFolder() {
    const char* dir = std::getenv("TMPDIR");
    return (dir && *dir) ? std::filesystem::path(dir) : std::filesystem::path("/tmp");
}

PrivateFolderState InspectPrivateFolder(const std::filesystem::path& path, uint32_t& win32Error) {
    win32Error = 0;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return PrivateFolderState::Missing;
        win32Error = LastWin32Error();
        return PrivateFolderState::Failed;
    }
    return Classify(st);
}

PrivateFolderState EnsurePrivateFolder(const std::filesystem::path& path, bool& created, uint32_t& win32Error) {
    created = false;
    const PrivateFolderState state = InspectPrivateFolder(path, win32Error);
    if (state != PrivateFolderState::Missing) return state;
    if ((win32Error = CreateParents(path)) != 0) return PrivateFolderState::Failed;
    if (::mkdir(path.c_str(), 0700) == 0) {
        created = true;
    } else if (errno != EEXIST) {  // made by someone else meanwhile: judged below
        win32Error = LastWin32Error();
        return PrivateFolderState::Failed;
    }
    return InspectPrivateFolder(path, win32Error);
}

uint32_t MakeFreshPrivateFolder(const std::filesystem::path& parent, const std::string& prefix,
                                std::filesystem::path& out) {
    std::string pattern = (parent / (prefix + "XXXXXX")).native();
    if (::mkdtemp(pattern.data()) == nullptr) return LastWin32Error();
    out = pattern;
    return 0;
}

}  // namespace zuvelo::platform
