#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

// Relative paths from outside (manifests, sessions, backups, inventories, names
// found while removing) must pass these before they are joined to a trusted root.
namespace zuvelo {

// Plain relative path whose every component is a legal, non-reserved file name.
// Never throws.
bool IsSafeRelativePath(const std::wstring& path);
bool IsSafeRelativePathUtf8(const std::string& path);

// Whether path lies inside base after canonicalisation (components compared,
// not string prefixes). Throws std::filesystem::filesystem_error when either
// cannot be canonicalised.
bool IsPathWithin(const std::filesystem::path& path, const std::filesystem::path& base);

// An absolute path that does not name a file-system root (after "." and ".."
// are folded): what a folder the programs write into or remove must be.
// Throws like NativePath.
bool IsAbsoluteNonRootPath(const std::wstring& path);

// Whether a and b (either separator) name the same folder as the file system
// sees it (platform::NameSameFolder); false for an empty or invalid path. Never throws.
bool NamesSameFolder(const std::wstring& a, const std::wstring& b) noexcept;

// The native separator: "/" on Linux, "\" on Windows.
inline constexpr wchar_t kNativeSeparator = static_cast<wchar_t>(std::filesystem::path::preferred_separator);

// A path the programs received (either separator) as a native path: either separator
// becomes the native one.
// Throws like PathFromUtf8 on a NUL or invalid text.
std::filesystem::path NativePath(const std::wstring& path);
std::filesystem::path NativePathUtf8(const std::string& path);

// The text concatenation base + separator + name with the native separator, kept
// as text: a base that ends in a separator gives a doubled one.
std::wstring JoinPathText(const std::wstring& base, const std::wstring& name);

// A native path as the wide text the interfaces carry.
std::wstring WidePath(const std::filesystem::path& path);

// What the shared code asks of the file system by path, answered as std::filesystem
// answers it (links followed) but through this system's own calls: on Windows those take
// every path in its extended-length form, so that no length limit applies. (The C++
// library there goes through the C runtime, which takes neither paths past 260
// characters nor that form.)

// std::filesystem::exists: absence (2 or 3, also a file where a folder was expected on the
// way) is false; any other failure of the test throws std::filesystem::filesystem_error
// named "exists".
bool PathExists(const std::filesystem::path& path);

// std::filesystem::is_directory: false when nothing or something else is there; another
// failure throws a filesystem_error named "is_directory".
bool IsFolder(const std::filesystem::path& path);

// std::filesystem::is_empty of a folder: whether it lists nothing; any failure (a missing
// folder too) throws a filesystem_error named "is_empty".
bool IsEmptyFolder(const std::filesystem::path& path);

// std::filesystem::create_directories: makes the folder and its missing parents. 0 (also
// when it is there already) or the Windows number of the failure (183 when something
// else than a folder stands on the way).
uint32_t CreateFolders(const std::filesystem::path& path);

}  // namespace zuvelo
