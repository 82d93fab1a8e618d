#pragma once

#include <cstdint>
#include <memory>
#include <string>

// Shell links: the ShellLink COM object (IShellLinkW with IPersistFile), with
// the COM set-up and the shell change notification around them. On Linux links
// are saved as real .lnk files in the Shell Link Binary File Format by the
// project's own writer: the header, a LinkInfo with the volume and the local
// base path, the counted UTF-16LE strings and the terminal block. Calls return
// HRESULT numbers.

namespace zuvelo::platform {

using HResult = int32_t;

inline constexpr HResult kS_OK = 0;
inline constexpr HResult kE_FAIL = static_cast<HResult>(0x80004005u);
inline constexpr HResult kE_ACCESSDENIED = static_cast<HResult>(0x80070005u);
inline constexpr HResult kE_OUTOFMEMORY = static_cast<HResult>(0x8007000Eu);
inline constexpr HResult kE_INVALIDARG = static_cast<HResult>(0x80070057u);
// CoInitializeEx on a thread already initialised in another apartment mode.
inline constexpr HResult kRPC_E_CHANGED_MODE = static_cast<HResult>(0x80010106u);

inline constexpr bool HResultFailed(HResult result) { return result < 0; }

// CoInitializeEx (apartment-threaded, OLE1 DDE off) and CoUninitialize (on
// Linux nothing needs preparing: S_OK).
HResult InitializeComForThread();
void UninitializeCom();

// SHChangeNotify(SHCNE_ALLEVENTS, SHCNF_IDLIST) so the shell shows new and removed
// links (on Linux no shell listens: nothing).
void NotifyShellOfChanges();

// Window states a link can ask for; any other is saved as normal.
inline constexpr int32_t kShowNormal = 1;
inline constexpr int32_t kShowMaximized = 3;
inline constexpr int32_t kShowMinNoActive = 7;

// The window state a link keeps for the one asked for.
inline constexpr int32_t StoredShowCommand(int32_t showCommand) {
    return showCommand == kShowMaximized || showCommand == kShowMinNoActive ? showCommand : kShowNormal;
}

// One shell link being described and saved. Texts must be free of NUL characters
// and surrogate code points and at most 65535 UTF-16 units long. On Windows the
// object is a ShellLink COM object, so COM must be initialised on the thread
// for its whole life; every call fails with CoCreateInstance's result when that failed.
class ShellLink {
public:
    ShellLink();
    ~ShellLink();
    ShellLink(const ShellLink&) = delete;
    ShellLink& operator=(const ShellLink&) = delete;

    // The absolute path of the target. Its attributes, size and times are read
    // now, as the shell does; a target that cannot be read is saved without them.
    HResult SetPath(const std::wstring& target);
    HResult SetArguments(const std::wstring& arguments);
    HResult SetWorkingDirectory(const std::wstring& folder);
    HResult SetDescription(const std::wstring& description);
    HResult SetIconLocation(const std::wstring& iconPath, int32_t index);
    HResult SetShowCmd(int32_t showCommand);
    // Virtual key in the low byte, modifier flags in the high byte; 0 is none.
    HResult SetHotkey(uint16_t hotkey);

    // Writes the link to an absolute .lnk path through a file beside it that is
    // renamed over it, so an existing link is replaced whole. A link without a
    // target is E_FAIL; a folder that is missing or not writable E_FAIL or
    // E_ACCESSDENIED.
    HResult Save(const std::wstring& linkPath) const;

private:
    // The link as this system describes it (the COM object, or the fields the writer
    // saves), so this header names no system type.
    struct State;
    std::unique_ptr<State> state_;
    friend HResult CreateShellLink(std::unique_ptr<ShellLink>& out);
};

// CoCreateInstance of the ShellLink class: a fresh link with nothing set.
HResult CreateShellLink(std::unique_ptr<ShellLink>& out);

}  // namespace zuvelo::platform
