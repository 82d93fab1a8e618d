#include "install/orphan_inventory.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <string_view>

#include "common/json_document.h"
#include "common/jsonl_logger.h"
#include "common/paths.h"
#include "common/text.h"
#include "common/tree_walk.h"
#include "manifest/prepared_session.h"
#include "platform/file_io.h"
#include "platform/handles.h"
#include "platform/regular_file.h"
#include "platform/win32_error.h"
#include "platform/compare_string.h"

namespace zuvelo {

namespace {

namespace fs = std::filesystem;
namespace win32 = platform::win32;

constexpr size_t kCompareLimit = size_t{1} << 31;

constexpr ComponentLogger kLog{"orphan_cleanup"};
// Some of its lines have always named no component.
constexpr ComponentLogger kPlainLog{""};

std::string ErrorText(uint32_t code) { return WideToUtf8Lossy(FormatWin32Error(code)); }

// Widened, with "\" read as "/".
std::wstring WideKey(const std::string& key) {
    std::wstring wide = Utf8ToWide(key);
    std::replace(wide.begin(), wide.end(), L'\\', L'/');
    return wide;
}

ErrorCode ParseExpectedFiles(const std::string& text, std::set<std::string>& expected) {
    Json::Value document;
    std::string errors;
    if (!ParseJsonDocument(text, document, errors)) {
        kLog.Warning("Failed to parse files manifest: " + errors);
        return ErrorCode::ManifestParseFailed;
    }
    if (JsonHasEmbeddedNul(document)) {
        kLog.Warning("Files manifest contains an escaped embedded NUL");
        return ErrorCode::InvalidArguments;
    }
    if (!document.isObject() || !document.isMember("files") || !document["files"].isArray()) {
        kLog.Warning("Files manifest missing 'files' array");
        return ErrorCode::InvalidArguments;
    }
    for (const Json::Value& element : document["files"]) {
        // An element that is neither an object nor null throws here.
        if (!element.isMember("file") || !element["file"].isString()) continue;
        const std::string file = element["file"].asString();
        if (file.empty()) continue;
        if (!IsSafeRelativePathUtf8(file)) {
            kLog.Warning("Files manifest contains an unsafe relative path");
            return ErrorCode::InvalidArguments;
        }
        expected.insert(ToRelativeKey(file));
    }
    return ErrorCode::Success;
}

// ---------------------------------------------------------------------------------
// Inventory walk: every folder is reached from the pinned root's handle without
// following a link, and checked to be the folder looked at (WalkTree).

bool LeadsToFolder(const fs::path& link) {
    platform::HandleInfo target;
    return platform::QueryPathInfo(link, true, target) == 0 && target.IsDirectory();
}

// The relative path as the inventory spells it: "/" between the names.
std::string SlashSeparated(std::string_view relative) {
    std::string text(relative);
    std::replace(text.begin(), text.end(), static_cast<char>(kNativeSeparator), '/');
    return text;
}

// Lists every entry; a folder that may not be opened is listed but not entered; a
// failure to start, or any other failure to enter or read a folder, ends the walk.
class InventoryWalk final : public TreeVisitor {
public:
    InventoryWalk(const PinnedRoot& root, const fs::path& target, std::vector<InventoryEntry>& inventory)
        : root_(root), target_(target), inventory_(inventory) {}

    WalkStep Visit(const TreeEntry& entry) override {
        const std::string relative = SlashSeparated(entry.relative);
        const fs::path full = target_ / relative;
        const platform::HandleInfo& info = *entry.info;
        InventoryEntry item;
        item.isSymlink = info.IsSymlink() || (info.IsDirectory() && info.OnOtherMountThan(root_.identity));
        item.isDirectory = info.IsDirectory() || (info.IsSymlink() && LeadsToFolder(full));
        Utf8ToWide(relative);  // a name that is not UTF-8 ends the inventory (throws)
        if (entry.name.find('\\') != std::string_view::npos || !IsSafeRelativePathUtf8(relative)) {
            kPlainLog.Warning("Skipping unsafe path: " + relative);
            return WalkStep::SkipFolder;
        }
        item.relativeKey = ToRelativeKey(relative);
        item.relativePath = relative;
        item.fullPath = WidePath(full);
        if (!item.isDirectory && !item.isSymlink) {
            platform::FileStat stat;
            if (platform::StatEntry(entry.folder, std::string(entry.name), stat) == 0) item.size = stat.size;
        }
        inventory_.push_back(std::move(item));
        return WalkStep::Continue;
    }

    WalkStep Failed(const TreeWalkFailure& failure) override {
        const fs::path full = target_ / SlashSeparated(failure.relative);
        if (failure.stage == TreeWalkFailure::Stage::Look) {
            kPlainLog.Warning("Skipping unreadable inventory path: " + ToUtf8Lossy(full));
            return WalkStep::Continue;
        }
        if (failure.relative.empty()) {
            kLog.Warning("Failed to start directory scan: " + ErrorText(failure.error.code()));
            started = false;
            return WalkStep::Stop;
        }
        if (!failure.error.refused() &&
            (failure.error == win32::kAccessDenied || failure.error == win32::kFileNotFound)) {
            return WalkStep::Continue;  // listed, not entered
        }
        kPlainLog.Warning("Directory inventory entry failed: " + ToUtf8Lossy(full) + ": " +
                          ErrorText(failure.error.code()));
        return WalkStep::Stop;
    }

    bool started = true;

private:
    const PinnedRoot& root_;
    const fs::path& target_;
    std::vector<InventoryEntry>& inventory_;
};

}  // namespace

bool PathLessIgnoreCaseOrder::operator()(const std::wstring& a, const std::wstring& b) const {
    return PathLessIgnoreCase(a, b);
}

const char* OrphanComponentWord(ComponentKind kind) {
    switch (kind) {
        case ComponentKind::Client: return "client";
        case ComponentKind::Launcher: return "launcher";
        default: return "unknown";
    }
}

std::string TrimPathSlashes(const std::string& path) {
    const size_t first = path.find_first_not_of("/\\");
    if (first == std::string::npos) return "";
    return path.substr(first, path.find_last_not_of("/\\") - first + 1);
}

std::string ToRelativeKey(const std::string& path) {
    std::string key = path;
    std::replace(key.begin(), key.end(), '\\', '/');
    key = TrimPathSlashes(key);
    for (char& c : key) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return key;
}

ErrorCode ReadExpectedFiles(const std::wstring& filesManifestPath, std::set<std::string>& expected) {
    kPlainLog.Info("Reading expected files from: " + WideToUtf8Lossy(filesManifestPath));
    try {
        std::string text;
        switch (platform::ReadRegularFile(NativePath(filesManifestPath), text, kMaxFilesManifestBytes)) {
            case platform::ReadFileResult::Ok: break;
            case platform::ReadFileResult::TooLarge:
                kLog.Warning("Files manifest is larger than " + std::to_string(kMaxFilesManifestBytes) + " bytes");
                return ErrorCode::ManifestParseFailed;
            default: kLog.Warning("Failed to open files manifest"); return ErrorCode::FileNotFound;
        }
        std::set<std::string> read;
        if (const ErrorCode code = ParseExpectedFiles(text, read); code != ErrorCode::Success) return code;
        expected.insert(read.begin(), read.end());
        kLog.Info("Read " + std::to_string(expected.size()) + " expected files from manifest");
        return ErrorCode::Success;
    } catch (const std::exception& e) {
        kLog.Warning(std::string("Error reading manifest: ") + e.what());
        return ErrorCode::InternalError;
    }
}

ErrorCode BuildLocalInventory(const PinnedRoot& root, const std::wstring& targetPath,
                              std::vector<InventoryEntry>& inventory) {
    kPlainLog.Info("Building local inventory of: " + WideToUtf8Lossy(targetPath));
    try {
        const fs::path target = NativePath(targetPath);
        InventoryWalk walk(root, target, inventory);
        HeldFolders held(&platform::OpenPathHandleAt);  // only looked at and listed
        WalkTree({root.handle.get(), root.identity, held}, walk, LookAt::EveryEntry);
        if (!walk.started) return ErrorCode::InternalError;
        kPlainLog.Info("Found " + std::to_string(inventory.size()) + " items in local inventory");
        return ErrorCode::Success;
    } catch (const std::exception& e) {
        kLog.Warning(std::string("Error scanning directory: ") + e.what());
        return ErrorCode::InternalError;
    }
}

void BuildAllowlist(std::set<std::string>& allowlist, ComponentKind kind) {
    allowlist.insert({"zuveloelevated.exe", "zuveloelevatedlauncher.exe", "zuvelouninstall.exe", "uninstall.exe"});
    kPlainLog.Info("Built allowlist with " + std::to_string(allowlist.size()) + " entries for " +
                   OrphanComponentWord(kind));
}

std::set<std::string> BuildExpectedDirectories(const std::set<std::string>& expected) {
    std::set<std::string> directories;
    for (const std::string& key : expected) {
        for (size_t slash = key.find('/'); slash != std::string::npos; slash = key.find('/', slash + 1)) {
            if (slash > 0) directories.insert(key.substr(0, slash));
        }
    }
    return directories;
}

bool IsAllowlisted(const std::string& key, const std::set<std::string>& allowlist) {
    const std::wstring wideKey = WideKey(key);
    const size_t slash = wideKey.rfind(L'/');
    const std::wstring last = slash == std::wstring::npos ? wideKey : wideKey.substr(slash + 1);
    for (const std::string& name : allowlist) {
        const std::wstring wideName = WideKey(name);
        if (PathsEqualIgnoreCase(wideKey, wideName) || PathsEqualIgnoreCase(last, wideName)) return true;
        if (wideKey.size() > wideName.size() && wideKey[wideName.size()] == L'/' &&
            PathsEqualIgnoreCase(wideKey.substr(0, wideName.size()), wideName)) {
            return true;
        }
    }
    return false;
}

bool PathLessIgnoreCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() >= kCompareLimit || b.size() >= kCompareLimit) throw std::length_error("Path is too large to compare");
    return platform::CompareOrdinalIgnoreCase(a, b) < 0;
}

WidePathSet ToWidePathSet(const std::set<std::string>& paths) {
    WidePathSet set;
    for (const std::string& path : paths) set.insert(WideKey(path));
    return set;
}

}  // namespace zuvelo
