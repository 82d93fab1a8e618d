#pragma once

#include <filesystem>
#include <string_view>

// Whether two paths name the same place, as the file system tells names apart:
// on Linux names are exact (case matters), on Windows case is ignored
// (CompareStringOrdinal). Never a case-blind text compare on Linux.
namespace zuvelo::platform {

// Whether a and b name the same folder (or file). Linux: their components are
// equal after ".", ".." and repeated or trailing separators are folded (relative
// paths against the working folder), or both exist and are the same object
// (device and inode, links followed). Windows: their full paths
// (GetFullPathNameW, trailing separators dropped) are equal ignoring case. An
// empty path names nothing. Never throws.
bool NameSameFolder(const std::filesystem::path& a, const std::filesystem::path& b) noexcept;

// Whether two path texts, already in the same full form, are equal as this
// system compares names: exactly on Linux; on Windows ignoring case, a text of
// 2^31 characters or more never matching. Never throws.
bool SamePathText(std::wstring_view a, std::wstring_view b) noexcept;

}  // namespace zuvelo::platform
