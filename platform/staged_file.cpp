#include "platform/staged_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <random>

#include "platform/win32_error.h"

namespace zuvelo::platform {

namespace {

constexpr int kNameAttempts = 16;
constexpr size_t kMaxStemBytes = 200;  // room for the dot, suffix and ".tmp" within a 255-byte name

std::string RandomSuffix() {
    static thread_local std::mt19937_64 generator{std::random_device{}()};
    static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string suffix;
    for (int i = 0; i < 8; ++i) suffix += kDigits[generator() % (sizeof(kDigits) - 1)];
    return suffix;
}

}  // namespace

StagedFile::~StagedFile() {
    if (committed_ || path_.empty()) return;
    // Only the file this object created: the name may have been replaced meanwhile.
    struct stat open {};
    struct stat named {};
    if (fd_ && ::fstat(fd_.get(), &open) == 0 && ::lstat(path_.c_str(), &named) == 0 && open.st_dev == named.st_dev &&
        open.st_ino == named.st_ino) {
        ::unlink(path_.c_str());
    }
}

uint32_t StagedFile::Create(const std::filesystem::path& folder, const std::string& finalName, uint32_t mode) {
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        const std::string name = "." + finalName.substr(0, kMaxStemBytes) + "." + RandomSuffix() + ".tmp";
        const std::filesystem::path candidate = folder / name;
        const int fd = ::open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                              static_cast<mode_t>(mode & 0777));
        if (fd >= 0) {
            fd_.reset(fd);
            path_ = candidate;
            return 0;
        }
        if (errno != EEXIST) return LastWin32Error();
    }
    return win32::kAlreadyExists;
}

uint32_t StagedFile::CommitAs(const std::filesystem::path& target) {
    if (!fd_) return win32::kInvalidHandle;
    if (::rename(path_.c_str(), target.c_str()) != 0) return LastWin32Error();
    committed_ = true;
    fd_.reset();
    return 0;
}

}  // namespace zuvelo::platform
