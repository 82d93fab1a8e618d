#include "platform/private_folder.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <memory>
#include <random>
#include <system_error>
#include <vector>

#include "platform/win32_error.h"
#include "platform/windows/win32_handle.h"
#include "platform/windows/win32_paths.h"

namespace zuvelo::platform {

namespace {

using windows::LastError;
using windows::UniqueHandle;

constexpr int kFreshNameAttempts = 100;

// What the security calls hand back is released with LocalFree.
struct LocalFreeDeleter {
    void operator()(void* memory) const { ::LocalFree(memory); }
};
using LocalMemory = std::unique_ptr<void, LocalFreeDeleter>;

// Rights that let someone put things into a folder, take them out or swap it.
constexpr ACCESS_MASK kWriteRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                     WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

uint32_t CurrentUserSid(std::vector<unsigned char>& out) {
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) return LastError();
    const UniqueHandle token(raw);
    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> user(size);
    if (size == 0 || !::GetTokenInformation(token.get(), TokenUser, user.data(), size, &size)) return LastError();
    const PSID sid = reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid;
    const auto* bytes = static_cast<const unsigned char*>(sid);
    out.assign(bytes, bytes + ::GetLengthSid(sid));
    return 0;
}

bool IsOthers(PSID sid) {
    return ::IsWellKnownSid(sid, WinWorldSid) || ::IsWellKnownSid(sid, WinBuiltinUsersSid) ||
           ::IsWellKnownSid(sid, WinAuthenticatedUserSid);
}

// Whether an entry of the DACL that applies to the folder itself lets Everyone, Users or
// Authenticated Users write; no DACL at all lets everybody do everything.
bool LetsOthersWrite(ACL* dacl) {
    if (dacl == nullptr) return true;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!::GetAce(dacl, i, &ace)) return true;
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if ((allowed->Mask & kWriteRights) != 0 && IsOthers(&allowed->SidStart)) return true;
    }
    return false;
}

PrivateFolderState JudgeSecurity(HANDLE folder, uint32_t& win32Error) {
    PSID owner = nullptr;
    ACL* dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD result = ::GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                           &owner, nullptr, &dacl, nullptr, &descriptor);
    if (result != ERROR_SUCCESS) {
        win32Error = result;
        return PrivateFolderState::Failed;
    }
    const LocalMemory keep(descriptor);
    std::vector<unsigned char> user;
    if ((win32Error = CurrentUserSid(user)) != 0) return PrivateFolderState::Failed;
    // An elevated administrator's new objects belong to the Administrators group.
    if (!::EqualSid(owner, user.data()) && !::IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) {
        return PrivateFolderState::ForeignOwner;
    }
    return LetsOthersWrite(dacl) ? PrivateFolderState::OpenToOthers : PrivateFolderState::Usable;
}

// Full control for this user, Administrators and SYSTEM, inherited by everything inside;
// nothing inherited from the folder above.
uint32_t PrivateFolderSecurity(LocalMemory& descriptor) {
    std::vector<unsigned char> user;
    if (const uint32_t err = CurrentUserSid(user)) return err;
    wchar_t* userText = nullptr;
    if (!::ConvertSidToStringSidW(user.data(), &userText)) return LastError();
    const LocalMemory keepText(userText);
    const std::wstring sddl = L"D:P(A;OICI;FA;;;" + std::wstring(userText) + L")(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";
    PSECURITY_DESCRIPTOR made = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &made, nullptr)) {
        return LastError();
    }
    descriptor.reset(made);
    return 0;
}

// CreateDirectoryW with the private security; 183 when the name is taken.
uint32_t CreatePrivateFolder(const std::filesystem::path& path) {
    std::wstring extended;
    LocalMemory descriptor;
    if (const uint32_t err = windows::ExtendedLengthPath(path, extended)) return err;
    if (const uint32_t err = PrivateFolderSecurity(descriptor)) return err;
    SECURITY_ATTRIBUTES security{sizeof security, descriptor.get(), FALSE};
    if (!::CreateDirectoryW(extended.c_str(), &security)) return LastError();
    return 0;
}

std::string RandomSuffix() {
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    static thread_local std::mt19937_64 generator{std::random_device{}()};
    std::string suffix;
    for (int i = 0; i < 6; ++i) suffix += kLetters[generator() % (sizeof kLetters - 1)];
    return suffix;
}

}  // namespace

std::filesystem::path TemporaryFolder() {
    std::vector<wchar_t> buffer(MAX_PATH + 1);
    DWORD length = ::GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
    if (length > buffer.size()) {
        buffer.resize(length);
        length = ::GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
    }
    std::wstring folder(buffer.data(), length < buffer.size() ? length : 0);
    // "C:\Temp\" names the folder as "C:\Temp" does; a drive's root keeps its separator.
    if (folder.size() > 3 && folder.back() == L'\\') folder.pop_back();
    return folder;
}

PrivateFolderState InspectPrivateFolder(const std::filesystem::path& path, uint32_t& win32Error) {
    win32Error = 0;
    std::wstring extended;
    if ((win32Error = windows::ExtendedLengthPath(path, extended)) != 0) return PrivateFolderState::Failed;
    const UniqueHandle folder(::CreateFileW(extended.c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL, windows::kShareAll,
                                            nullptr, OPEN_EXISTING, windows::kOpenAsItself, nullptr));
    if (!folder) {
        const uint32_t err = LastError();
        if (err == win32::kFileNotFound || err == win32::kPathNotFound) return PrivateFolderState::Missing;
        win32Error = err;
        return PrivateFolderState::Failed;
    }
    FILE_BASIC_INFO info{};
    if (!::GetFileInformationByHandleEx(folder.get(), FileBasicInfo, &info, sizeof info)) {
        win32Error = LastError();
        return PrivateFolderState::Failed;
    }
    if ((info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return PrivateFolderState::Link;
    if ((info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return PrivateFolderState::NotFolder;
    return JudgeSecurity(folder.get(), win32Error);
}

PrivateFolderState EnsurePrivateFolder(const std::filesystem::path& path, bool& created, uint32_t& win32Error) {
    created = false;
    const PrivateFolderState state = InspectPrivateFolder(path, win32Error);
    if (state != PrivateFolderState::Missing) return state;
    if (path.has_parent_path()) {
        std::error_code ec;
        std::filesystem::create_directories(path.parent_path(), ec);
        if (ec) {
            win32Error = Win32ErrorFromErrorCode(ec);
            return PrivateFolderState::Failed;
        }
    }
    const uint32_t err = CreatePrivateFolder(path);
    if (err == 0) {
        created = true;
    } else if (err != win32::kAlreadyExists) {  // made by someone else meanwhile: judged below
        win32Error = err;
        return PrivateFolderState::Failed;
    }
    return InspectPrivateFolder(path, win32Error);
}

uint32_t MakeFreshPrivateFolder(const std::filesystem::path& parent, const std::string& prefix,
                                std::filesystem::path& out) {
    for (int attempt = 0; attempt < kFreshNameAttempts; ++attempt) {
        std::wstring name;
        if (const uint32_t err = windows::WideComponent(prefix + RandomSuffix(), name)) return err;
        const std::filesystem::path candidate = parent / name;
        const uint32_t err = CreatePrivateFolder(candidate);
        if (err == win32::kAlreadyExists) continue;
        if (err != 0) return err;
        out = candidate;
        return 0;
    }
    return win32::kAlreadyExists;
}

}  // namespace zuvelo::platform
