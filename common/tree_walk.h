#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "common/held_folders.h"
#include "common/system_error.h"
#include "platform/handles.h"

// The one walk of a folder tree. It starts from a folder held open and never follows a
// link or enters another mount (a link, and on Windows any reparse point, is met as
// itself; a folder on another mount is met, never entered). Every folder is reached from
// the root's handle one component at a time (HeldFolders) and must be the very folder
// that was looked at; each listing is read whole before its entries are visited, so a
// walk holds at most HeldFolders::kHeldFolderLimit folders open however deep the tree.
// Entries come each folder before what it holds, in the order the file system lists them.
namespace zuvelo {

// What a visitor wants done after an entry or a failure.
enum class WalkStep {
    Continue,    // go on; after a folder, enter it
    SkipFolder,  // go on without entering the folder just visited
    Stop,        // end the walk
};

// One entry met by a walk, valid while it is visited.
struct TreeEntry {
    std::string_view name;      // as listed: UTF-8 on Windows, the name's own bytes on Linux
    std::string_view relative;  // below the root, the names joined by the native separator
    size_t depth = 0;           // 0 for the root's own entries
    platform::DirectoryReader::Type listedType = platform::DirectoryReader::Type::Unknown;
    // The entry itself as the file system describes it (a link never followed), when the
    // walk looked at it; then `folder` holds the folder listing it. Null otherwise.
    const platform::HandleInfo* info = nullptr;
    int folder = -1;
};

// What a walk could not do.
struct TreeWalkFailure {
    enum class Stage {
        List,   // read the listing of a folder (the root's too)
        Look,   // look at an entry (or reach the folder listing it)
        Enter,  // reach a folder to enter it, or find it the folder that was looked at
    };
    Stage stage = Stage::List;
    std::string_view relative;  // the folder or entry, as TreeEntry::relative (empty for the root)
    SystemError error;          // a refusal when a link or another mount stood on the way
};

// Which entries a walk looks at before visiting them.
enum class LookAt {
    FoldersOnly,  // the folders and the entries the listing gives no type for
    EveryEntry,
};

// One use of the walk.
class TreeVisitor {
public:
    virtual ~TreeVisitor() = default;
    // Each entry in turn; Continue after a folder (never a link or a folder on another
    // mount) enters it.
    virtual WalkStep Visit(const TreeEntry& entry) = 0;
    // Continue passes over what failed (the entry, or the folder and all it holds); a
    // SkipFolder counts as Continue. By default a failure ends the walk.
    virtual WalkStep Failed(const TreeWalkFailure& failure);
    // Reads the whole listing of the folder open as fd (relative to the root: folder);
    // by default ListFolderEntries.
    virtual SystemError List(std::string_view folder, int fd, std::vector<platform::DirectoryReader::Entry>& entries);
};

// Where a walk starts: the root folder held open as handle (which was identity when it
// was held), and the folders below it, held as they are reached.
struct WalkRoot {
    int handle = -1;
    const platform::HandleInfo& identity;
    HeldFolders& held;
};

// Walks everything below root. True when the walk came to its end, false when the
// visitor stopped it. Exceptions thrown by the visitor pass through.
bool WalkTree(const WalkRoot& root, TreeVisitor& visitor, LookAt look);

// The same from the folder at path, a link there followed (the caller named it); the
// folders below are opened only to be looked at and listed. A root that cannot be opened
// is a failure to list it.
bool WalkFolder(const std::filesystem::path& folder, TreeVisitor& visitor, LookAt look);

// The path of the entry at relative below folder: relative read as UTF-8 (what every name
// is on Windows), on Linux as its own bytes when it is not UTF-8.
std::filesystem::path PathBelow(const std::filesystem::path& folder, std::string_view relative);

// The whole listing of the folder open as fd (reopened for listing; "." and ".." left out),
// in the order the file system gives: 0 or the error.
SystemError ListFolderEntries(int fd, std::vector<platform::DirectoryReader::Entry>& entries);

}  // namespace zuvelo
