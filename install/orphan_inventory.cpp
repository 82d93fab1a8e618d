#include "install/orphan_inventory.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include "common/json_document.h"
#include "common/jsonl_logger.h"
#include "common/paths.h"
#include "common/text.h"
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
// Inventory walk: every folder is listed through a descriptor opened from its
// parent's without following a link, and checked to be the folder looked at.

struct Listing {
    std::unique_ptr<platform::DirectoryReader> reader;
    std::string prefix;  // relative path of the folder with a trailing "/" (empty for the root)
};

// What to do after one entry: go on, enter a folder, or end the walk.
struct Next {
    std::unique_ptr<platform::DirectoryReader> enter;
    bool stop = false;
};

bool LeadsToFolder(const fs::path& link) {
    platform::HandleInfo target;
    return platform::QueryPathInfo(link, true, target) == 0 && target.IsDirectory();
}

Next EnterFolder(int parentFd, const std::string& name, const platform::HandleInfo& looked, const fs::path& shown) {
    platform::UniqueFd listing;
    uint32_t err = platform::OpenDirectoryForListing(parentFd, name, listing);
    if (err == win32::kAccessDenied || err == win32::kFileNotFound) return {};
    platform::HandleInfo opened;
    if (err == 0 && (err = platform::QueryHandleInfo(listing.get(), opened)) == 0 && !opened.SameObject(looked)) {
        err = win32::kAccessDenied;  // swapped since it was looked at
    }
    if (err != 0) {
        kPlainLog.Warning("Directory inventory entry failed: " + ToUtf8Lossy(shown) + ": " + ErrorText(err));
        return {nullptr, true};
    }
    return {std::make_unique<platform::DirectoryReader>(std::move(listing)), false};
}

Next AddEntry(const PinnedRoot& root, int folderFd, const std::string& name, const std::string& relative,
              const fs::path& target, std::vector<InventoryEntry>& inventory) {
    const fs::path full = target / relative;
    platform::HandleInfo info;
    if (platform::QueryEntryInfo(folderFd, name, info) != 0) {
        kPlainLog.Warning("Skipping unreadable inventory path: " + ToUtf8Lossy(full));
        return {};
    }
    InventoryEntry entry;
    entry.isSymlink = info.IsSymlink() || (info.IsDirectory() && info.OnOtherMountThan(root.identity));
    entry.isDirectory = info.IsDirectory() || (info.IsSymlink() && LeadsToFolder(full));
    Utf8ToWide(relative);  // a name that is not UTF-8 ends the inventory (throws)
    if (name.find('\\') != std::string::npos || !IsSafeRelativePathUtf8(relative)) {
        kPlainLog.Warning("Skipping unsafe path: " + relative);
        return {};
    }
    entry.relativeKey = ToRelativeKey(relative);
    entry.relativePath = relative;
    entry.fullPath = WidePath(full);
    if (!entry.isDirectory && !entry.isSymlink) {
        platform::FileStat stat;
        if (platform::StatEntry(folderFd, name, stat) == 0) entry.size = stat.size;
    }
    inventory.push_back(std::move(entry));
    if (!info.IsDirectory() || inventory.back().isSymlink) return {};
    return EnterFolder(folderFd, name, info, full);
}

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
        platform::UniqueFd listing;
        if (const uint32_t err = platform::OpenDirectoryForListing(root.handle.get(), ".", listing)) {
            kLog.Warning("Failed to start directory scan: " + ErrorText(err));
            return ErrorCode::InternalError;
        }
        std::vector<Listing> stack;
        stack.push_back({std::make_unique<platform::DirectoryReader>(std::move(listing)), ""});
        platform::DirectoryReader::Entry item;
        while (!stack.empty()) {
            bool done = false;
            if (const uint32_t err = stack.back().reader->Next(item, done)) {
                kPlainLog.Warning("Directory inventory entry failed: " + ErrorText(err));
                break;
            }
            if (done) {
                stack.pop_back();
                continue;
            }
            const std::string relative = stack.back().prefix + item.name;
            Next next = AddEntry(root, stack.back().reader->fd(), item.name, relative, target, inventory);
            if (next.stop) break;
            if (next.enter) stack.push_back({std::move(next.enter), relative + "/"});
        }
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
