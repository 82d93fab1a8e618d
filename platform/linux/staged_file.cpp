#include "platform/staged_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "platform/handles.h"
#include "platform/win32_error.h"

namespace zuvelo::platform {

namespace {

bool IsRegularEntry(int folderFd, const std::string& name, struct stat& st) {
    return ::fstatat(folderFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

StagedFile::~StagedFile() {
    if (committed_ || !fd_) return;
    // Only the file this object created: the name may have been replaced meanwhile.
    struct stat open {};
    struct stat named {};
    if (::fstat(fd_.get(), &open) == 0 && IsRegularEntry(folder_.get(), name_, named) &&
        open.st_dev == named.st_dev && open.st_ino == named.st_ino) {
        ::unlinkat(folder_.get(), name_.c_str(), 0);
    }
}

uint32_t StagedFile::CreateEmptyFile(int folderFd, const std::string& name, UniqueFd& out) {
    UniqueFd fd(::openat(folderFd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) return LastWin32Error();
    out = std::move(fd);
    return 0;
}

uint32_t StagedFile::CreateAsCopyOf(int /*folderFd*/, int /*sourceFd*/) { return win32::kNotSupported; }

uint32_t StagedFile::RenameTo(const std::string& finalName, bool replace) {
    const int done = ::renameat2(folder_.get(), name_.c_str(), folder_.get(), finalName.c_str(),
                                 replace ? 0 : RENAME_NOREPLACE);
    return done == 0 ? 0 : LastWin32Error();
}

int RemoveStagedLeftovers(int folderFd) {
    UniqueFd listing;
    if (OpenDirectoryForListing(folderFd, ".", listing) != 0) return 0;
    DirectoryReader reader(std::move(listing));
    int removed = 0;
    DirectoryReader::Entry entry;
    bool done = false;
    while (reader.Next(entry, done) == 0 && !done) {
        struct stat st {};
        if (!IsStagedFileName(entry.name) || !IsRegularEntry(folderFd, entry.name, st)) continue;
        if (::unlinkat(folderFd, entry.name.c_str(), 0) == 0) ++removed;
    }
    return removed;
}

}  // namespace zuvelo::platform
