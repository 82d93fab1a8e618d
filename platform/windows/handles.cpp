#include "platform/handles.h"

#include <windows.h>

#include <vector>

#include "platform/utf8.h"
#include "platform/win32_error.h"
#include "platform/windows/win32_handle.h"
#include "platform/windows/win32_paths.h"

namespace zuvelo::platform {

namespace {

using windows::HandleOf;
using windows::LastError;
using windows::UniqueHandle;

// The st_mode bits the file attributes stand for (windows::ModeFromAttributes).
constexpr uint32_t kTypeMask = 0170000;
constexpr uint32_t kTypeDirectory = 0040000;
constexpr uint32_t kTypeLink = 0120000;
constexpr uint32_t kTypeRegular = 0100000;
constexpr uint32_t kWriteBits = 0222;

constexpr DWORD kListingAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
// What an object held for a removal is opened with: the right to delete it, and nobody
// else may rename or delete it meanwhile.
constexpr DWORD kRemovalAccess = DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD kRemovalShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

// The root folder of a volume: its path on the volume is "\".
bool IsVolumeRoot(HANDLE handle) {
    wchar_t path[4] = {};
    const DWORD length = ::GetFinalPathNameByHandleW(handle, path, 4, VOLUME_NAME_NONE);
    return length == 1 && path[0] == L'\\';
}

uint32_t Describe(HANDLE handle, HandleInfo& out) {
    BY_HANDLE_FILE_INFORMATION file {};
    if (!::GetFileInformationByHandle(handle, &file)) return LastError();
    HandleInfo info;
    info.device = file.dwVolumeSerialNumber;
    info.inode = (static_cast<uint64_t>(file.nFileIndexHigh) << 32) | file.nFileIndexLow;
    info.mode = windows::ModeFromAttributes(file.dwFileAttributes);
    if (file.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        FILE_ATTRIBUTE_TAG_INFO tag {};
        if (!::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag)) return LastError();
        info.mountRoot = tag.ReparseTag == IO_REPARSE_TAG_MOUNT_POINT;  // a junction or a mounted volume
    } else if (info.IsDirectory()) {
        info.mountRoot = IsVolumeRoot(handle);
    }
    out = info;
    return 0;
}

// The UTF-8 of a name or path the system gave; 1113 (no Unicode translation) for one with none.
uint32_t Utf8Of(const std::wstring& text, std::string& out) {
    out = Utf8FromWide(text);
    return out.empty() && !text.empty() ? ERROR_NO_UNICODE_TRANSLATION : 0;
}

uint32_t OpenEntry(int dirFd, const std::string& name, DWORD access, DWORD share, UniqueHandle& out) {
    std::wstring wide;
    if (const uint32_t err = windows::WideComponent(name, wide)) return err;
    return windows::OpenBelow(dirFd, wide, access, share, out);
}

uint32_t OpenEntry(int dirFd, const std::string& name, DWORD access, UniqueHandle& out) {
    return OpenEntry(dirFd, name, access, windows::kShareAll, out);
}

// The delete disposition through the handle: the object goes when its last handle closes
// (a folder that is not empty fails here with 145).
uint32_t MarkForDeletion(HANDLE handle) {
    if (handle == INVALID_HANDLE_VALUE) return win32::kInvalidHandle;
    FILE_DISPOSITION_INFO dispose{};
    dispose.DeleteFile = TRUE;
    if (!::SetFileInformationByHandle(handle, FileDispositionInfo, &dispose, sizeof dispose)) return LastError();
    return 0;
}

// The path less its last `levels` components; a drive keeps its root separator.
std::wstring WithoutLastComponents(std::wstring path, size_t levels) {
    for (size_t i = 0; i < levels; ++i) {
        const size_t cut = path.find_last_of(L'\\');
        if (cut == std::wstring::npos) return {};
        path.resize(cut);
    }
    if (!path.empty() && path.back() == L':') path += L'\\';
    return path;
}

// A folder opened for listing: a folder, never a reparse point (3, as for a file).
uint32_t CheckListable(HANDLE handle) {
    HandleInfo info;
    if (const uint32_t err = Describe(handle, info)) return err;
    return info.IsDirectory() ? 0 : win32::kPathNotFound;
}

}  // namespace

bool HandleInfo::IsDirectory() const { return (mode & kTypeMask) == kTypeDirectory; }
bool HandleInfo::IsSymlink() const { return (mode & kTypeMask) == kTypeLink; }
bool HandleInfo::IsRegular() const { return (mode & kTypeMask) == kTypeRegular; }
bool HandleInfo::IsReadOnly() const { return !IsSymlink() && (mode & kWriteBits) == 0; }

bool HandleInfo::OnOtherMountThan(const HandleInfo& other) const {
    if (mountRoot || device != other.device) return true;
    return mountId != 0 && other.mountId != 0 && mountId != other.mountId;
}

uint32_t OpenPathHandle(const std::filesystem::path& path, UniqueFd& out) {
    std::wstring extended;
    if (const uint32_t err = windows::ExtendedLengthPath(path, extended)) return err;
    UniqueHandle handle(::CreateFileW(extended.c_str(), windows::kPathAccess, windows::kShareAll, nullptr,
                                      OPEN_EXISTING, windows::kOpenAsItself, nullptr));
    if (!handle) return LastError();
    return windows::DescriptorOf(std::move(handle), out);
}

uint32_t OpenPathHandleAt(int dirFd, const std::string& name, UniqueFd& out) {
    UniqueHandle handle;
    if (const uint32_t err = OpenEntry(dirFd, name, windows::kPathAccess, handle)) return err;
    return windows::DescriptorOf(std::move(handle), out);
}

uint32_t QueryHandleInfo(int fd, HandleInfo& out) {
    const HANDLE handle = HandleOf(fd);
    if (handle == INVALID_HANDLE_VALUE) return win32::kInvalidHandle;
    return Describe(handle, out);
}

uint32_t QueryEntryInfo(int dirFd, const std::string& name, HandleInfo& out) {
    UniqueHandle handle;
    if (const uint32_t err = OpenEntry(dirFd, name, windows::kPathAccess, handle)) return err;
    return Describe(handle.get(), out);
}

uint32_t QueryPathInfo(const std::filesystem::path& path, bool followLinks, HandleInfo& out) {
    std::wstring extended;
    if (const uint32_t err = windows::ExtendedLengthPath(path, extended)) return err;
    const DWORD flags = followLinks ? FILE_FLAG_BACKUP_SEMANTICS : windows::kOpenAsItself;
    UniqueHandle handle(::CreateFileW(extended.c_str(), windows::kPathAccess, windows::kShareAll, nullptr,
                                      OPEN_EXISTING, flags, nullptr));
    if (!handle) return LastError();
    return Describe(handle.get(), out);
}

uint32_t IsMountPoint(int fd, bool& mountPoint) {
    mountPoint = false;
    HandleInfo self;
    if (const uint32_t err = QueryHandleInfo(fd, self)) return err;
    mountPoint = self.mountRoot;
    return 0;
}

uint32_t ReadFinalPath(int fd, std::string& out) {
    std::wstring path;
    if (const uint32_t err = windows::FinalPathOf(HandleOf(fd), path)) return err;
    return Utf8Of(windows::WithoutExtendedPrefix(path), out);
}

uint32_t SetWritableThroughHandle(int fd, bool writable) {
    HandleInfo info;
    if (const uint32_t err = QueryHandleInfo(fd, info)) return err;
    if (info.IsSymlink()) return win32::kAccessDenied;  // a reparse point keeps its own attributes
    // A second handle on the very object held, with the right to change its attributes.
    UniqueHandle object(::ReOpenFile(HandleOf(fd), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE,
                                     windows::kShareAll, windows::kOpenAsItself));
    if (!object) return LastError();
    return windows::SetReadOnly(object.get(), !writable);
}

uint32_t RemoveEntryAt(int dirFd, const std::string& name, bool directory) {
    UniqueHandle entry;
    if (const uint32_t err = OpenEntry(dirFd, name, kRemovalAccess, kRemovalShare, entry)) return err;
    HandleInfo info;
    if (const uint32_t err = Describe(entry.get(), info)) return err;
    // As unlinkat: a folder only as a folder, anything else (a link too) only as a file.
    if (directory && !info.IsDirectory()) return win32::kPathNotFound;
    if (!directory && info.IsDirectory()) return win32::kAccessDenied;
    return MarkForDeletion(entry.get());
}

uint32_t OpenForRemoval(const std::filesystem::path& path, UniqueFd& out) {
    std::wstring extended;
    if (const uint32_t err = windows::ExtendedLengthPath(path, extended)) return err;
    UniqueHandle handle(::CreateFileW(extended.c_str(), kRemovalAccess, kRemovalShare, nullptr, OPEN_EXISTING,
                                      windows::kOpenAsItself, nullptr));
    if (!handle) return LastError();
    return windows::DescriptorOf(std::move(handle), out);
}

uint32_t OpenForRemovalAt(int dirFd, const std::string& name, UniqueFd& out) {
    UniqueHandle handle;
    if (const uint32_t err = OpenEntry(dirFd, name, kRemovalAccess, kRemovalShare, handle)) return err;
    return windows::DescriptorOf(std::move(handle), out);
}

uint32_t RemoveHeld(int /*dirFd*/, const std::string& /*name*/, int fd) { return MarkForDeletion(HandleOf(fd)); }

uint32_t RemoveHeldFolder(int fd, const std::filesystem::path& /*path*/) { return MarkForDeletion(HandleOf(fd)); }

uint32_t OpenAncestor(int fd, size_t levels, UniqueFd& out) {
    if (levels == 0 || levels > kMaxAncestorLevels) return win32::kInvalidParameter;
    std::wstring path;
    if (const uint32_t err = windows::FinalPathOf(HandleOf(fd), path)) return err;
    const std::wstring ancestor = WithoutLastComponents(std::move(path), levels);
    if (ancestor.empty()) return win32::kPathNotFound;
    UniqueHandle handle(::CreateFileW(ancestor.c_str(), windows::kPathAccess, windows::kShareAll, nullptr,
                                      OPEN_EXISTING, windows::kOpenAsItself, nullptr));
    if (!handle) return LastError();
    return windows::DescriptorOf(std::move(handle), out);
}

uint32_t OpenDirectoryForListing(int dirFd, const std::string& name, UniqueFd& out) {
    UniqueHandle folder;
    if (name == ".") {
        if (HandleOf(dirFd) == INVALID_HANDLE_VALUE) return win32::kInvalidHandle;
        folder.reset(::ReOpenFile(HandleOf(dirFd), kListingAccess, windows::kShareAll, windows::kOpenAsItself));
        if (!folder) return LastError();
    } else if (const uint32_t err = OpenEntry(dirFd, name, kListingAccess, folder)) {
        return err;
    }
    if (const uint32_t err = CheckListable(folder.get())) return err;
    return windows::DescriptorOf(std::move(folder), out);
}

uint32_t OpenDirectoryForListing(const std::filesystem::path& folder, UniqueFd& out) {
    std::wstring extended;
    if (const uint32_t err = windows::ExtendedLengthPath(folder, extended)) return err;
    UniqueHandle handle(::CreateFileW(extended.c_str(), kListingAccess, windows::kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle) return LastError();
    if (const uint32_t err = CheckListable(handle.get())) return err;
    return windows::DescriptorOf(std::move(handle), out);
}

// Entries come from FileIdBothDirectoryInfo a buffer at a time.
struct DirectoryReader::State {
    UniqueFd fd;
    std::vector<uint64_t> buffer = std::vector<uint64_t>(64 * 1024 / sizeof(uint64_t));  // 8-byte aligned
    size_t offset = 0;     // of the next record in the buffer
    bool filled = false;   // the buffer holds records not yet read
    bool ended = false;
};

DirectoryReader::DirectoryReader(UniqueFd directory) : state_(std::make_unique<State>()) {
    state_->fd = std::move(directory);
}

DirectoryReader::~DirectoryReader() = default;

int DirectoryReader::fd() const { return state_->fd.get(); }

uint32_t DirectoryReader::Next(Entry& entry, bool& done) {
    done = false;
    State& state = *state_;
    const HANDLE handle = HandleOf(state.fd.get());
    if (handle == INVALID_HANDLE_VALUE) return win32::kInvalidHandle;
    while (true) {
        if (state.ended) {
            done = true;
            return 0;
        }
        if (!state.filled) {
            const DWORD size = static_cast<DWORD>(state.buffer.size() * sizeof(uint64_t));
            if (!::GetFileInformationByHandleEx(handle, FileIdBothDirectoryInfo, state.buffer.data(), size)) {
                const uint32_t err = LastError();
                if (err != ERROR_NO_MORE_FILES) return err;
                state.ended = true;
                continue;
            }
            state.filled = true;
            state.offset = 0;
        }
        const auto* bytes = reinterpret_cast<const char*>(state.buffer.data());
        const auto* record = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(bytes + state.offset);
        if (record->NextEntryOffset == 0) state.filled = false;
        else state.offset += record->NextEntryOffset;

        const std::wstring name(record->FileName, record->FileNameLength / sizeof(wchar_t));
        if (name == L"." || name == L"..") continue;
        if (const uint32_t err = Utf8Of(name, entry.name)) return err;
        const DWORD attributes = record->FileAttributes;
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) entry.type = Type::Symlink;
        else if (attributes & FILE_ATTRIBUTE_DIRECTORY) entry.type = Type::Directory;
        else entry.type = Type::Regular;
        return 0;
    }
}

}  // namespace zuvelo::platform
