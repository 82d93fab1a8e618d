#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "common/error_codes.h"
#include "common/pinned_removal.h"
#include "manifest/update_manifest.h"

// The three inputs of orphan cleanup: the files the release ships (expected
// set), what lies under the installation folder (inventory) and the names that
// are never orphans (allowlist). All of them are compared by relative key:
// "/"-separated, no leading or trailing separator, ASCII letters lower-cased.
namespace zuvelo {

// One object met under the installation folder.
struct InventoryEntry {
    std::string relativeKey;
    // The relative path as spelled on disk (names here are case-sensitive, so
    // deletion walks these, not the lower-cased key).
    std::string relativePath;
    std::wstring fullPath;
    uint64_t size = 0;         // 0 for folders and links
    bool isDirectory = false;  // for a link: it leads to a folder
    bool isSymlink = false;    // a link, or a folder on another mount
};

// Orders wide paths as CompareStringOrdinal with case ignored.
struct PathLessIgnoreCaseOrder {
    bool operator()(const std::wstring& a, const std::wstring& b) const;
};
using WidePathSet = std::set<std::wstring, PathLessIgnoreCaseOrder>;

// "client", "launcher", "unknown" for any other value.
const char* OrphanComponentWord(ComponentKind kind);

// The path without its leading and trailing runs of "/" and "\".
std::string TrimPathSlashes(const std::string& path);
// "\" to "/", TrimPathSlashes, ASCII lower case.
std::string ToRelativeKey(const std::string& path);

// Keys of the "file" members of the files manifest's "files" array: 0, 141 (not
// readable), 121 (not JSON, or above kMaxFilesManifestBytes), 1 (NUL, no array, or any unsafe path: the whole
// manifest is refused) or 4 (anything thrown, e.g. an element that is not an
// object). expected is only filled on success.
ErrorCode ReadExpectedFiles(const std::wstring& filesManifestPath, std::set<std::string>& expected);

// Lists everything below the pinned root, reached from its handle without
// following links: links and folders on another mount are listed, never
// entered; folders that may not be opened are listed but not entered; unsafe
// names are left out. A name that is not UTF-8 or a failure to start gives 4.
ErrorCode BuildLocalInventory(const PinnedRoot& root, const std::wstring& targetPath,
                              std::vector<InventoryEntry>& inventory);

// Names that are never orphans, whatever the kind: the elevated program, its
// launcher stub and both uninstallers.
void BuildAllowlist(std::set<std::string>& allowlist, ComponentKind kind);

// Every "/"-prefix of every key ("a/b/c.dll" gives "a" and "a/b").
std::set<std::string> BuildExpectedDirectories(const std::set<std::string>& expected);

// The key (case ignored) is an allowlist name, lies in a folder so named, or its
// last component is one.
bool IsAllowlisted(const std::string& key, const std::set<std::string>& allowlist);

// Throws std::length_error "Path is too large to compare" for 2^31 characters or more.
bool PathLessIgnoreCase(const std::wstring& a, const std::wstring& b);

// Each path widened strictly (throws on bad UTF-8), "\" read as "/".
WidePathSet ToWidePathSet(const std::set<std::string>& paths);

}  // namespace zuvelo
