#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

// The temporary folder (GetTempPath) and the folders a privileged program keeps
// there for itself: created with mode 0700 (on Windows a protected DACL for this
// user, Administrators and SYSTEM), and refused when they are a link, not a
// folder, owned by another user (other than Administrators on Windows) or writable
// by others, so that nothing planted by someone else is read from or written through.
namespace zuvelo::platform {

// $TMPDIR, else /tmp; on Windows GetTempPathW (without its trailing separator).
std::filesystem::path TemporaryFolder();

enum class PrivateFolderState {
    Usable,
    Missing,
    Link,
    NotFolder,
    ForeignOwner,
    OpenToOthers,
    Failed,  // the look-up itself failed; see win32Error
};

// What the folder is, never following a link.
PrivateFolderState InspectPrivateFolder(const std::filesystem::path& path, uint32_t& win32Error);

// Creates the folder (mode 0700; missing parents as usual) when it is missing,
// then inspects it. created: this call made it.
PrivateFolderState EnsurePrivateFolder(const std::filesystem::path& path, bool& created, uint32_t& win32Error);

// Makes a new folder parent/<prefix>XXXXXX (mkdtemp, mode 0700) that nobody
// else can have made first; 0 or the Windows number of the failure.
uint32_t MakeFreshPrivateFolder(const std::filesystem::path& parent, const std::string& prefix,
                                std::filesystem::path& out);

// Why a folder is refused, for messages: "a link", "not a folder", ...
const char* DescribePrivateFolderState(PrivateFolderState state);

}  // namespace zuvelo::platform
