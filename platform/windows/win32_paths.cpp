#include "platform/windows/win32_paths.h"

#include <winternl.h>

#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/utf8.h"
#include "platform/win32_error.h"

namespace zuvelo::platform::windows {

namespace {

bool StartsWith(std::wstring_view text, std::wstring_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// The folder's path and the name, with one separator between them.
std::wstring Joined(const std::wstring& folder, const std::wstring& name) {
    if (!folder.empty() && folder.back() == L'\\') return folder + name;
    return folder + L'\\' + name;
}

}  // namespace

namespace {

// The object manager's name of the handle's object, when it is a DOS-device one ("\??\C:\a"
// -> "\\?\C:\a"); 234 otherwise. Wine's GetFinalPathNameByHandleW reads that name into a
// buffer of MAX_PATH characters and fails with 234 for a longer one; Windows answers whole.
uint32_t DosDeviceNameOf(HANDLE handle, std::wstring& out) {
    std::vector<uint64_t> buffer(8192);  // 64 KiB: room for the longest name, 8-byte aligned
    ULONG needed = 0;
    const NTSTATUS status = ::NtQueryObject(handle, ObjectNameInformation, buffer.data(),
                                            static_cast<ULONG>(buffer.size() * sizeof(uint64_t)), &needed);
    if (!NT_SUCCESS(status)) return ERROR_MORE_DATA;
    const auto* name = reinterpret_cast<const UNICODE_STRING*>(buffer.data());
    const std::wstring text(name->Buffer, name->Length / sizeof(wchar_t));
    if (!StartsWith(text, L"\\??\\")) return ERROR_MORE_DATA;
    out = L"\\\\?\\" + text.substr(4);
    return 0;
}

}  // namespace

uint32_t FinalPathOf(HANDLE handle, std::wstring& out) {
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return win32::kInvalidHandle;
    std::wstring buffer(MAX_PATH, L'\0');
    while (true) {
        const DWORD length = ::GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()), 0);
        if (length == 0 && ::GetLastError() == ERROR_MORE_DATA) return DosDeviceNameOf(handle, out);
        if (length == 0) return LastError();
        if (length < buffer.size()) {
            buffer.resize(length);
            out = std::move(buffer);
            return 0;
        }
        buffer.resize(length);  // the size asked for counts the terminating NUL
    }
}

std::wstring WithoutExtendedPrefix(const std::wstring& path) {
    if (StartsWith(path, L"\\\\?\\UNC\\")) return L"\\\\" + path.substr(8);
    if (StartsWith(path, L"\\\\?\\")) return path.substr(4);
    return path;
}

uint32_t ExtendedLengthPath(const std::filesystem::path& path, std::wstring& out) {
    const std::wstring text = WidePath(path);
    if (text.empty()) return win32::kFileNotFound;  // as opening "" fails elsewhere
    if (text.find(L'\0') != std::wstring::npos) return win32::kInvalidName;
    if (StartsWith(text, L"\\\\?\\")) {
        out = text;
        return 0;
    }
    const DWORD size = ::GetFullPathNameW(text.c_str(), 0, nullptr, nullptr);
    if (size == 0) return LastError();
    std::wstring full(size, L'\0');
    const DWORD length = ::GetFullPathNameW(text.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size) return length == 0 ? LastError() : win32::kFilenameTooLong;
    full.resize(length);
    if (StartsWith(full, L"\\\\?\\") || StartsWith(full, L"\\\\.\\")) {
        out = std::move(full);
    } else if (StartsWith(full, L"\\\\")) {
        out = L"\\\\?\\UNC\\" + full.substr(2);
    } else {
        out = L"\\\\?\\" + full;
    }
    return 0;
}

uint32_t WideComponent(const std::string& name, std::wstring& out) {
    const bool plain = !name.empty() && name != "." && name != ".." &&
                       name.find_first_of(std::string("\\/:\0", 4)) == std::string::npos;
    std::optional<std::wstring> wide = plain ? WideFromUtf8(name) : std::nullopt;
    if (!wide) return win32::kInvalidName;
    out = std::move(*wide);
    return 0;
}

uint32_t PathBelow(int dirFd, const std::wstring& name, std::wstring& out) {
    std::wstring folder;
    if (const uint32_t err = FinalPathOf(HandleOf(dirFd), folder)) return err;
    out = Joined(folder, name);
    return 0;
}

namespace {

// NtCreateFile of one name relative to the folder handle, as CreateFileW with backup
// semantics and FILE_FLAG_OPEN_REPARSE_POINT would open it.
uint32_t OpenRelative(int dirFd, const std::wstring& name, DWORD access, DWORD share, ULONG disposition,
                      ULONG options, UniqueHandle& out) {
    const HANDLE folder = HandleOf(dirFd);
    if (folder == INVALID_HANDLE_VALUE || folder == nullptr) return win32::kInvalidHandle;
    if (name.empty() || name.size() > 32767) return win32::kInvalidName;
    const USHORT bytes = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    UNICODE_STRING text{bytes, bytes, const_cast<PWSTR>(name.c_str())};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, folder, nullptr);
    IO_STATUS_BLOCK status{};
    HANDLE opened = nullptr;
    const ULONG asItself = FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT | FILE_SYNCHRONOUS_IO_NONALERT;
    const NTSTATUS result = ::NtCreateFile(&opened, access | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &attributes, &status,
                                           nullptr, FILE_ATTRIBUTE_NORMAL, share, disposition, options | asItself,
                                           nullptr, 0);
    if (!NT_SUCCESS(result)) {
        const uint32_t err = ::RtlNtStatusToDosError(result);
        // A folder whose name is gone (deleted meanwhile) holds no name either.
        return err == win32::kPathNotFound ? win32::kFileNotFound : (err != 0 ? err : win32::kGenFailure);
    }
    out.reset(opened);
    return 0;
}

}  // namespace

uint32_t OpenBelow(int dirFd, const std::wstring& name, DWORD access, UniqueHandle& out) {
    return OpenBelow(dirFd, name, access, kShareAll, out);
}

uint32_t OpenBelow(int dirFd, const std::wstring& name, DWORD access, DWORD share, UniqueHandle& out) {
    return OpenRelative(dirFd, name, access, share, FILE_OPEN, 0, out);
}

uint32_t CreateFolderBelow(int dirFd, const std::wstring& name) {
    UniqueHandle made;
    return OpenRelative(dirFd, name, FILE_LIST_DIRECTORY, kShareAll, FILE_CREATE, FILE_DIRECTORY_FILE, made);
}

uint32_t DescriptorOf(UniqueHandle handle, UniqueFd& out) {
    const int fd = DescriptorFromHandle(std::move(handle));
    if (fd < 0) return ERROR_TOO_MANY_OPEN_FILES;
    out.reset(fd);
    return 0;
}

}  // namespace zuvelo::platform::windows
