#include "platform/handles.h"

#include <dirent.h>
#include <pthread.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <mutex>
#include <vector>

#include "platform/win32_error.h"

namespace zuvelo::platform {

namespace {

std::string ProcFdPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// An O_PATH descriptor of this process's /proc/self/fd, kept open: reading a link
// relative to it spares the walk through /proc for every final path. A child made
// by fork inherits the parent's (which lists the parent's descriptors), so it is
// opened again whenever the process id changed. -1 when /proc cannot be opened.
struct ProcFd {
    std::mutex mutex;
    int directory = -1;
    bool stale = false;  // set in a child made by fork
};

ProcFd& ProcFdState() {
    static ProcFd state;
    static const bool registered = [] {
        ::pthread_atfork(nullptr, nullptr, [] { ProcFdState().stale = true; });
        return true;
    }();
    (void)registered;
    return state;
}

int ProcFdDirectory() {
    ProcFd& state = ProcFdState();
    std::lock_guard lock(state.mutex);
    if (state.directory < 0 || state.stale) {
        if (state.directory >= 0) ::close(state.directory);
        state.directory = ::open("/proc/self/fd", O_PATH | O_DIRECTORY | O_CLOEXEC);
        state.stale = false;
    }
    return state.directory;
}

constexpr unsigned kStatxMask = STATX_TYPE | STATX_MODE | STATX_INO | STATX_MNT_ID;

void FillInfo(const struct statx& st, HandleInfo& out) {
    out.device = (static_cast<uint64_t>(st.stx_dev_major) << 32) | st.stx_dev_minor;
    out.inode = st.stx_ino;
    out.mode = st.stx_mode;
    out.mountId = (st.stx_mask & STATX_MNT_ID) ? st.stx_mnt_id : 0;
    out.mountRoot = (st.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) && (st.stx_attributes & STATX_ATTR_MOUNT_ROOT);
}

uint32_t Statx(int dirFd, const char* name, int flags, HandleInfo& out) {
    struct statx st {};
    if (::statx(dirFd, name, flags | AT_STATX_SYNC_AS_STAT, kStatxMask, &st) != 0) return LastWin32Error();
    FillInfo(st, out);
    return 0;
}

// One component, never empty, ".", ".." or holding a separator.
bool IsSingleComponent(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

}  // namespace

bool HandleInfo::IsDirectory() const { return S_ISDIR(mode); }
bool HandleInfo::IsSymlink() const { return S_ISLNK(mode); }
bool HandleInfo::IsRegular() const { return S_ISREG(mode); }
bool HandleInfo::IsReadOnly() const { return !IsSymlink() && (mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0; }

bool HandleInfo::OnOtherMountThan(const HandleInfo& other) const {
    if (mountRoot || device != other.device) return true;
    return mountId != 0 && other.mountId != 0 && mountId != other.mountId;
}

uint32_t OpenPathHandle(const std::filesystem::path& path, UniqueFd& out) {
    const int fd = ::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return LastWin32Error();
    out.reset(fd);
    return 0;
}

uint32_t OpenPathHandleAt(int dirFd, const std::string& name, UniqueFd& out) {
    if (!IsSingleComponent(name)) return win32::kInvalidName;
    const int fd = ::openat(dirFd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return LastWin32Error();
    out.reset(fd);
    return 0;
}

uint32_t QueryHandleInfo(int fd, HandleInfo& out) {
    if (fd < 0) return win32::kInvalidHandle;
    return Statx(fd, "", AT_EMPTY_PATH, out);
}

uint32_t QueryEntryInfo(int dirFd, const std::string& name, HandleInfo& out) {
    if (!IsSingleComponent(name)) return win32::kInvalidName;
    return Statx(dirFd, name.c_str(), AT_SYMLINK_NOFOLLOW, out);
}

uint32_t QueryPathInfo(const std::filesystem::path& path, bool followLinks, HandleInfo& out) {
    return Statx(AT_FDCWD, path.c_str(), followLinks ? 0 : AT_SYMLINK_NOFOLLOW, out);
}

uint32_t IsMountPoint(int fd, bool& mountPoint) {
    mountPoint = false;
    HandleInfo self;
    if (const uint32_t err = QueryHandleInfo(fd, self)) return err;
    if (self.mountRoot) {
        mountPoint = true;
        return 0;
    }
    HandleInfo parent;
    if (const uint32_t err = Statx(fd, "..", AT_SYMLINK_NOFOLLOW, parent)) return err;
    // "/" is its own parent and no mount point of anything.
    mountPoint = !self.SameObject(parent) && self.OnOtherMountThan(parent);
    return 0;
}

uint32_t ReadFinalPath(int fd, std::string& out) {
    if (fd < 0) return win32::kInvalidHandle;
    const int directory = ProcFdDirectory();
    const std::string link = directory >= 0 ? std::to_string(fd) : ProcFdPath(fd);
    std::vector<char> buffer(PATH_MAX + 1);
    while (true) {
        const ssize_t n = ::readlinkat(directory >= 0 ? directory : AT_FDCWD, link.c_str(), buffer.data(), buffer.size());
        if (n < 0) return LastWin32Error();
        if (static_cast<size_t>(n) < buffer.size()) {
            out.assign(buffer.data(), static_cast<size_t>(n));
            return 0;
        }
        buffer.resize(buffer.size() * 2);  // possibly cut: try again with more room
    }
}

uint32_t SetWritableThroughHandle(int fd, bool writable) {
    HandleInfo info;
    if (const uint32_t err = QueryHandleInfo(fd, info)) return err;
    if (info.IsSymlink()) return win32::kAccessDenied;  // a link has no permissions of its own
    mode_t mode = static_cast<mode_t>(info.mode & 07777);
    mode = writable ? (mode | S_IWUSR) : (mode & ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH));
    if (::chmod(ProcFdPath(fd).c_str(), mode) != 0) return LastWin32Error();
    return 0;
}

uint32_t RemoveEntryAt(int dirFd, const std::string& name, bool directory) {
    if (!IsSingleComponent(name)) return win32::kInvalidName;
    if (::unlinkat(dirFd, name.c_str(), directory ? AT_REMOVEDIR : 0) != 0) return LastWin32Error();
    return 0;
}

uint32_t OpenForRemoval(const std::filesystem::path& path, UniqueFd& out) { return OpenPathHandle(path, out); }

uint32_t OpenForRemovalAt(int dirFd, const std::string& name, UniqueFd& out) {
    return OpenPathHandleAt(dirFd, name, out);
}

uint32_t RemoveHeld(int dirFd, const std::string& name, int fd) {
    HandleInfo held;
    if (const uint32_t err = QueryHandleInfo(fd, held)) return err;
    HandleInfo named;
    if (const uint32_t err = QueryEntryInfo(dirFd, name, named)) return err;
    if (!named.SameObject(held)) return win32::kAccessDenied;  // the name was given to another object
    return RemoveEntryAt(dirFd, name, held.IsDirectory());
}

uint32_t RemoveHeldFolder(int fd, const std::filesystem::path& path) {
    if (!path.is_absolute() || !path.has_relative_path()) return win32::kAccessDenied;
    UniqueFd parent;
    if (const uint32_t err = OpenPathHandle(path.parent_path(), parent)) return err;
    HandleInfo parentInfo;
    if (const uint32_t err = QueryHandleInfo(parent.get(), parentInfo)) return err;
    if (!parentInfo.IsDirectory()) return win32::kAccessDenied;
    return RemoveHeld(parent.get(), path.filename().native(), fd);
}

uint32_t OpenAncestor(int fd, size_t levels, UniqueFd& out) {
    if (levels == 0 || levels > kMaxAncestorLevels) return win32::kInvalidParameter;
    static const std::string kUp = [] {
        std::string up = "..";
        for (size_t i = 1; i < kMaxAncestorLevels; ++i) up += "/..";
        return up;
    }();
    const std::string up = kUp.substr(0, levels * 3 - 1);
    const int ancestor = ::openat(fd, up.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (ancestor < 0) return LastWin32Error();
    out.reset(ancestor);
    return 0;
}

uint32_t OpenDirectoryForListing(int dirFd, const std::string& name, UniqueFd& out) {
    if (name != "." && !IsSingleComponent(name)) return win32::kInvalidName;
    const int fd = ::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return LastWin32Error();
    out.reset(fd);
    return 0;
}

uint32_t OpenDirectoryForListing(const std::filesystem::path& folder, UniqueFd& out) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return LastWin32Error();
    out.reset(fd);
    return 0;
}

struct DirectoryReader::State {
    DIR* dir = nullptr;
    int fd = -1;
};

DirectoryReader::DirectoryReader(UniqueFd directory) : state_(std::make_unique<State>()) {
    const int fd = directory.release();
    state_->dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (state_->dir) state_->fd = fd;
    else if (fd >= 0) ::close(fd);
}

DirectoryReader::~DirectoryReader() {
    if (state_->dir) ::closedir(state_->dir);
}

int DirectoryReader::fd() const { return state_->fd; }

uint32_t DirectoryReader::Next(Entry& entry, bool& done) {
    done = false;
    if (!state_->dir) return win32::kInvalidHandle;
    while (true) {
        errno = 0;
        const struct dirent* item = ::readdir(state_->dir);
        if (!item) {
            if (errno != 0) return LastWin32Error();
            done = true;
            return 0;
        }
        const std::string_view name(item->d_name);
        if (name == "." || name == "..") continue;
        entry.name.assign(name);
        switch (item->d_type) {
            case DT_DIR: entry.type = Type::Directory; break;
            case DT_LNK: entry.type = Type::Symlink; break;
            case DT_REG: entry.type = Type::Regular; break;
            case DT_UNKNOWN: entry.type = Type::Unknown; break;
            default: entry.type = Type::Other; break;
        }
        return 0;
    }
}

}  // namespace zuvelo::platform
