#include "platform/shell_link.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <filesystem>
#include <new>
#include <optional>
#include <random>

#include "platform/utf8.h"
#include "platform/windows/win32_handle.h"

namespace zuvelo::platform {

namespace {

namespace fs = std::filesystem;

// No NUL, surrogates only in pairs, and a length that a 16-bit count holds.
bool IsStorable(const std::wstring& text) {
    if (text.size() > 0xFFFF) return false;
    for (size_t pos = 0; pos < text.size();) {
        const std::optional<char32_t> c = NextWideScalar(text, pos);
        if (!c || *c == 0) return false;
    }
    return true;
}

// S_FALSE (a target the shell cannot find yet) is a success like S_OK.
HResult Outcome(HRESULT result) { return FAILED(result) ? result : kS_OK; }

// A failure to write the file, as the callers know it: denied, out of memory, or E_FAIL.
HResult SaveFailure(HRESULT result) {
    const auto facility = HRESULT_FACILITY(result);
    if (facility != FACILITY_WIN32 && facility != FACILITY_STORAGE) return result;
    switch (HRESULT_CODE(result)) {
        case ERROR_ACCESS_DENIED:
        case ERROR_WRITE_PROTECT: return kE_ACCESSDENIED;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY: return kE_OUTOFMEMORY;
        case ERROR_INVALID_PARAMETER: return kE_INVALIDARG;
        default: return kE_FAIL;
    }
}

// The staged-file name pattern, so a run that was killed leaves a name the next one knows.
std::wstring StagedName() {
    static constexpr wchar_t kLetters[] = L"0123456789abcdefghijklmnopqrstuvwxyz";
    std::random_device random;
    std::wstring name = L".zuvelo-staged.";
    for (int i = 0; i < 12; ++i) name += kLetters[random() % (sizeof kLetters / sizeof kLetters[0] - 1)];
    return name + L".tmp";
}

struct PersistFileReleaser {
    void operator()(IPersistFile* file) const noexcept { file->Release(); }
};

}  // namespace

HResult InitializeComForThread() { return ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE); }

void UninitializeCom() { ::CoUninitialize(); }

void NotifyShellOfChanges() { ::SHChangeNotify(SHCNE_ALLEVENTS, SHCNF_IDLIST, nullptr, nullptr); }

struct ShellLink::State {
    struct Releaser {
        void operator()(IShellLinkW* link) const noexcept { link->Release(); }
    };
    std::unique_ptr<IShellLinkW, Releaser> link;
    HResult created = kS_OK;  // CoCreateInstance's result
    bool hasTarget = false;
};

ShellLink::ShellLink() : state_(std::make_unique<State>()) {
    IShellLinkW* link = nullptr;
    state_->created = ::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                         reinterpret_cast<void**>(&link));
    if (SUCCEEDED(state_->created)) state_->link.reset(link);
}

ShellLink::~ShellLink() = default;

HResult ShellLink::SetPath(const std::wstring& target) {
    if (!state_->link) return state_->created;
    if (!IsStorable(target) || !fs::path(target).is_absolute()) return kE_INVALIDARG;
    const HResult result = Outcome(state_->link->SetPath(target.c_str()));
    if (result == kS_OK) state_->hasTarget = true;
    return result;
}

HResult ShellLink::SetArguments(const std::wstring& arguments) {
    if (!state_->link) return state_->created;
    return IsStorable(arguments) ? Outcome(state_->link->SetArguments(arguments.c_str())) : kE_INVALIDARG;
}

HResult ShellLink::SetWorkingDirectory(const std::wstring& folder) {
    if (!state_->link) return state_->created;
    return IsStorable(folder) ? Outcome(state_->link->SetWorkingDirectory(folder.c_str())) : kE_INVALIDARG;
}

HResult ShellLink::SetDescription(const std::wstring& description) {
    if (!state_->link) return state_->created;
    return IsStorable(description) ? Outcome(state_->link->SetDescription(description.c_str())) : kE_INVALIDARG;
}

HResult ShellLink::SetIconLocation(const std::wstring& iconPath, int32_t index) {
    if (!state_->link) return state_->created;
    return IsStorable(iconPath) ? Outcome(state_->link->SetIconLocation(iconPath.c_str(), index)) : kE_INVALIDARG;
}

HResult ShellLink::SetShowCmd(int32_t showCommand) {
    if (!state_->link) return state_->created;
    return Outcome(state_->link->SetShowCmd(StoredShowCommand(showCommand)));
}

HResult ShellLink::SetHotkey(uint16_t hotkey) {
    if (!state_->link) return state_->created;
    return Outcome(state_->link->SetHotkey(hotkey));
}

HResult ShellLink::Save(const std::wstring& linkPath) const {
    if (!state_->link) return state_->created;
    if (!state_->hasTarget) return kE_FAIL;
    const fs::path file(linkPath);
    if (!IsStorable(linkPath) || !file.is_absolute() || !file.has_filename()) return kE_INVALIDARG;
    IPersistFile* persist = nullptr;
    if (const HRESULT result = state_->link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist));
        FAILED(result)) {
        return result;
    }
    const std::unique_ptr<IPersistFile, PersistFileReleaser> persistFile(persist);

    // Written beside the link and renamed over it, so the link is never seen half written.
    const fs::path staged = file.parent_path() / StagedName();
    if (const HRESULT result = persistFile->Save(staged.c_str(), FALSE); FAILED(result)) {
        ::DeleteFileW(staged.c_str());
        return SaveFailure(result);
    }
    if (!::MoveFileExW(staged.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const HRESULT failed = HRESULT_FROM_WIN32(windows::LastError());
        ::DeleteFileW(staged.c_str());
        return SaveFailure(failed);
    }
    return kS_OK;
}

HResult CreateShellLink(std::unique_ptr<ShellLink>& out) {
    std::unique_ptr<ShellLink> link;
    try {
        link = std::make_unique<ShellLink>();
    } catch (const std::bad_alloc&) {
        return kE_OUTOFMEMORY;
    }
    if (!link->state_->link) return link->state_->created;
    out = std::move(link);
    return kS_OK;
}

}  // namespace zuvelo::platform
