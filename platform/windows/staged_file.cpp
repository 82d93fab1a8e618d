#include "platform/staged_file.h"

#include <windows.h>
#include <winternl.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "platform/compare_string.h"
#include "platform/handles.h"
#include "platform/win32_error.h"
#include "platform/windows/win32_handle.h"
#include "platform/windows/win32_paths.h"

namespace zuvelo::platform {

namespace {

using windows::HandleOf;
using windows::LastError;
using windows::UniqueHandle;

constexpr DWORD kAttributeAccess = FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;

uint32_t AttributesOf(HANDLE handle, DWORD& attributes) {
    FILE_BASIC_INFO info{};
    if (!::GetFileInformationByHandleEx(handle, FileBasicInfo, &info, sizeof info)) return LastError();
    attributes = info.FileAttributes;
    return 0;
}

bool IsRegular(DWORD attributes) {
    return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

// Creates name in the folder held as folderFd, never over anything there (a link included),
// and checks that it was made in that folder: one moved meanwhile gets nothing (5).
uint32_t CreateBelow(int folderFd, const std::string& name, UniqueHandle& out) {
    std::wstring wide;
    std::wstring path;
    if (const uint32_t err = windows::WideComponent(name, wide)) return err;
    if (const uint32_t err = windows::PathBelow(folderFd, wide, path)) return err;
    UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL | windows::kOpenAsItself, nullptr));
    if (!file) return LastError();
    std::wstring made;
    if (windows::FinalPathOf(file.get(), made) != 0 || !OrdinalEqualIgnoreCase(made, path)) {
        windows::DeleteThroughHandle(file.get());
        return win32::kAccessDenied;
    }
    out = std::move(file);
    return 0;
}

// CopyFileExW of source to name in the folder held as folderFd, never over anything there,
// then the copy opened as itself and checked to be that name in that folder. Its handle may
// read it, set its attributes and times, and rename or delete it: a read-only copy cannot
// be opened for writing.
uint32_t CopyBelow(const std::wstring& source, int folderFd, const std::string& name, UniqueHandle& out) {
    std::wstring wide;
    std::wstring path;
    if (const uint32_t err = windows::WideComponent(name, wide)) return err;
    if (const uint32_t err = windows::PathBelow(folderFd, wide, path)) return err;
    if (!::CopyFileExW(source.c_str(), path.c_str(), nullptr, nullptr, nullptr, COPY_FILE_FAIL_IF_EXISTS)) {
        return LastError();
    }
    UniqueHandle copy(::CreateFileW(path.c_str(), GENERIC_READ | DELETE | FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ,
                                    nullptr, OPEN_EXISTING, windows::kOpenAsItself, nullptr));
    if (!copy) return LastError();  // what stays at the name goes with the next run's leftovers
    std::wstring made;
    DWORD attributes = 0;
    if (windows::FinalPathOf(copy.get(), made) != 0 || !OrdinalEqualIgnoreCase(made, path) ||
        AttributesOf(copy.get(), attributes) != 0 || !IsRegular(attributes)) {
        return win32::kAccessDenied;
    }
    out = std::move(copy);
    return 0;
}

// The regular file at name (never a link, never through one), opened with access.
uint32_t OpenRegularBelow(int folderFd, const std::string& name, DWORD access, UniqueHandle& out) {
    std::wstring wide;
    DWORD attributes = 0;
    if (const uint32_t err = windows::WideComponent(name, wide)) return err;
    if (const uint32_t err = windows::OpenBelow(folderFd, wide, access, out)) return err;
    if (const uint32_t err = AttributesOf(out.get(), attributes)) return err;
    return IsRegular(attributes) ? 0 : win32::kAccessDenied;
}

// Renames the file open as file to name inside the folder open as folder, replacing what
// is there when replace is set: renameat. The folder is named by its handle, so a folder
// moved or swapped after it was opened is never renamed into. (SetFileInformationByHandle
// takes only a path, which it resolves against the current folder.)
uint32_t RenameInto(HANDLE file, HANDLE folder, const std::wstring& name, bool replace) {
    const size_t nameBytes = name.size() * sizeof(wchar_t);
    std::vector<std::byte> buffer(offsetof(FILE_RENAME_INFORMATION, FileName) + nameBytes);
    auto* rename = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
    rename->ReplaceIfExists = replace ? TRUE : FALSE;
    rename->RootDirectory = folder;
    rename->FileNameLength = static_cast<ULONG>(nameBytes);
    std::memcpy(rename->FileName, name.data(), nameBytes);
    IO_STATUS_BLOCK io{};
    const NTSTATUS status =
        ::NtSetInformationFile(file, &io, rename, static_cast<ULONG>(buffer.size()), FileRenameInformation);
    return status >= 0 ? 0 : static_cast<uint32_t>(::RtlNtStatusToDosError(status));
}

// Clears the read-only bit of the regular file at name; true when it was set.
bool ClearReadOnly(int folderFd, const std::string& name) {
    UniqueHandle existing;
    DWORD attributes = 0;
    return OpenRegularBelow(folderFd, name, kAttributeAccess, existing) == 0 &&
           AttributesOf(existing.get(), attributes) == 0 && (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
           windows::SetReadOnly(existing.get(), false) == 0;
}

void RestoreReadOnly(int folderFd, const std::string& name) {
    UniqueHandle existing;
    if (OpenRegularBelow(folderFd, name, kAttributeAccess, existing) == 0) windows::SetReadOnly(existing.get(), true);
}

}  // namespace

StagedFile::~StagedFile() {
    // Through the handle: exactly the file this object created, whatever its name holds now.
    if (!committed_ && fd_) windows::DeleteThroughHandle(HandleOf(fd_.get()));
}

// Without a descriptor (none left), the file stays for the next run's clean-up.
uint32_t StagedFile::CreateEmptyFile(int folderFd, const std::string& name, UniqueFd& out) {
    UniqueHandle file;
    const uint32_t err = CreateBelow(folderFd, name, file);
    if (err == ERROR_FILE_EXISTS || err == ERROR_ALREADY_EXISTS) return win32::kAlreadyExists;
    if (err != 0) return err;
    return windows::DescriptorOf(std::move(file), out);
}

uint32_t StagedFile::CreateAsCopyOf(int folderFd, int sourceFd) {
    std::wstring source;
    if (const uint32_t err = windows::FinalPathOf(HandleOf(sourceFd), source)) return err;
    return CreateWith(folderFd, [&source](int folder, const std::string& name, UniqueFd& out) {
        UniqueHandle file;
        const uint32_t err = CopyBelow(source, folder, name, file);
        if (err == ERROR_FILE_EXISTS || err == ERROR_ALREADY_EXISTS) return win32::kAlreadyExists;
        if (err != 0) return err;
        return windows::DescriptorOf(std::move(file), out);
    });
}

uint32_t StagedFile::RenameTo(const std::string& finalName, bool replace) {
    std::wstring name;
    if (const uint32_t err = windows::WideComponent(finalName, name)) return err;
    const HANDLE folder = HandleOf(folder_.get());
    uint32_t err = RenameInto(HandleOf(fd_.get()), folder, name, replace);
    // A read-only file at the final name refuses to be replaced; it is replaced all the same,
    // as a rename over it does elsewhere, and keeps its bit when that fails.
    if (replace && err == win32::kAccessDenied && ClearReadOnly(folder_.get(), finalName)) {
        err = RenameInto(HandleOf(fd_.get()), folder, name, true);
        if (err != 0) RestoreReadOnly(folder_.get(), finalName);
    }
    return err == ERROR_FILE_EXISTS ? win32::kAlreadyExists : err;
}

int RemoveStagedLeftovers(int folderFd) {
    UniqueFd listing;
    if (OpenDirectoryForListing(folderFd, ".", listing) != 0) return 0;
    DirectoryReader reader(std::move(listing));
    int removed = 0;
    DirectoryReader::Entry entry;
    bool done = false;
    while (reader.Next(entry, done) == 0 && !done) {
        if (!IsStagedFileName(entry.name)) continue;
        // A staged file another run still has open cannot be opened for deletion: it stays.
        UniqueHandle file;
        if (OpenRegularBelow(folderFd, entry.name, DELETE | kAttributeAccess, file) != 0) continue;
        if (windows::DeleteThroughHandle(file.get()) == 0) ++removed;
    }
    return removed;
}

}  // namespace zuvelo::platform
