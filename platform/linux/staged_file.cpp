#include "platform/staged_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "platform/handles.h"
#include "platform/open_beneath.h"
#include "platform/win32_error.h"

namespace zuvelo::platform {

namespace {

constexpr int kNameAttempts = 16;

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

uint32_t StagedFile::Create(int folderFd, uint32_t mode) {
    UniqueFd folder(::fcntl(folderFd, F_DUPFD_CLOEXEC, 0));
    if (!folder) return LastWin32Error();
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        std::string name = NewStagedFileName();
        UniqueFd fd(::openat(folder.get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd) {
            if (errno == EEXIST) continue;
            return LastWin32Error();
        }
        folder_ = std::move(folder);
        fd_ = std::move(fd);
        name_ = std::move(name);
        // The umask must not decide what the installed file allows.
        if (::fchmod(fd_.get(), static_cast<mode_t>(mode & 0777)) != 0) return LastWin32Error();
        return 0;
    }
    return win32::kAlreadyExists;
}

uint32_t StagedFile::Create(const std::filesystem::path& folder, uint32_t mode) {
    UniqueFd pinned;
    if (const uint32_t err = PinFolder(folder, pinned)) return err;
    return Create(pinned.get(), mode);
}

uint32_t StagedFile::CreateAsCopyOf(int /*folderFd*/, int /*sourceFd*/) { return win32::kNotSupported; }

uint32_t StagedFile::CommitAs(const std::string& finalName) {
    if (!fd_) return win32::kInvalidHandle;
    if (::renameat(folder_.get(), name_.c_str(), folder_.get(), finalName.c_str()) != 0) return LastWin32Error();
    committed_ = true;
    fd_.reset();
    return 0;
}

uint32_t StagedFile::CommitAsNew(const std::string& finalName) {
    if (!fd_) return win32::kInvalidHandle;
    if (::renameat2(folder_.get(), name_.c_str(), folder_.get(), finalName.c_str(), RENAME_NOREPLACE) != 0) {
        return LastWin32Error();
    }
    committed_ = true;
    fd_.reset();
    return 0;
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
