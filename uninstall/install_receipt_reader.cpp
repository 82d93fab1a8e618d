#include "uninstall/install_receipt_reader.h"

#include <exception>
#include <filesystem>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "common/json_document.h"
#include "common/jsonl_logger.h"
#include "common/paths.h"
#include "common/text.h"
#include "platform/path_identity.h"
#include "platform/regular_file.h"

namespace zuvelo {

namespace {

namespace fs = std::filesystem;

constexpr ComponentLogger kLog{"install_receipt"};

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsDriveAbsolute(const std::wstring& path) {
    const bool letter = path.size() >= 3 && ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'));
    return letter && path[1] == L':' && IsSeparator(path[2]);
}

bool IsRooted(const std::wstring& path) { return IsDriveAbsolute(path) || (!path.empty() && IsSeparator(path[0])); }

// A drive-absolute path, or one with neither a root name (a drive-relative "C:x",
// a UNC "\\server") nor more than one leading separator.
bool PassesRootTest(const std::wstring& path) {
    if (IsDriveAbsolute(path)) return true;
    if (path.size() >= 2 && path[1] == L':') return false;
    return !(path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1]));
}

bool HasParentComponent(const std::wstring& path) {
    size_t start = 0;
    while (true) {
        size_t end = start;
        while (end < path.size() && !IsSeparator(path[end])) ++end;
        if (path.compare(start, end - start, L"..") == 0) return true;
        if (end >= path.size()) return false;
        start = end + 1;
    }
}

bool HasNul(const std::wstring& text) { return text.find(L'\0') != std::wstring::npos; }

std::wstring Text(const Json::Value& value) { return Utf8ToWide(value.asString()); }

std::wstring PathText(const Json::Value& value) { return WidePath(PathFromUtf8(value.asString())); }

void ReadStringList(const Json::Value& list, std::vector<std::wstring>& out) {
    if (!list.isArray()) return;
    for (const Json::Value& item : list) out.push_back(Text(item));
}

// False when a component's file lies outside the installation.
bool ReadComponents(const Json::Value& components, InstallReceipt& receipt) {
    const std::pair<const char*, ReceiptComponent*> named[] = {
        {"launcher", &receipt.launcher}, {"client", &receipt.client}, {"helper", &receipt.helper}};
    for (const auto& [name, component] : named) {
        if (!components.isMember(name)) continue;
        component->version = Text(components[name]["version"]);
        if (!ParseReceiptComponent(receipt, components[name], component->files)) return false;
    }
    return true;
}

// Steps after the NUL and parse checks; throws on members of the wrong type.
ErrorCode ReadReceiptDocument(const Json::Value& root, InstallReceipt& receipt) {
    receipt.version = Text(root["version"]);
    receipt.installDate = Text(root["installDate"]);
    receipt.installPath = PathText(root["installPath"]);
    receipt.launcherPath = PathText(root["launcherPath"]);
    if (!IsSafeAbsolutePath(receipt.installPath) || !IsPathContainedIn(receipt.launcherPath, receipt.installPath)) {
        kLog.Warning("Receipt installPath/launcherPath is not safely contained");
        return ErrorCode::InvalidArguments;
    }
    if (root.isMember("components") && !ReadComponents(root["components"], receipt)) {
        return ErrorCode::InvalidArguments;
    }
    if (root["shortcuts"].isArray()) {
        for (const Json::Value& shortcut : root["shortcuts"]) {
            receipt.shortcuts.push_back({Text(shortcut["name"]), Text(shortcut["type"]), Text(shortcut["scope"])});
        }
    }
    if (root.isMember("registry")) receipt.uninstallKey = Text(root["registry"]["uninstallKey"]);
    ReadStringList(root["services"], receipt.services);
    ReadStringList(root["scheduledTasks"], receipt.scheduledTasks);
    ReadStringList(root["firewallRules"], receipt.firewallRules);
    return ErrorCode::Success;
}

}  // namespace

std::wstring GetInstallReceiptPath(const std::wstring& installFolder) {
    return WidePath(NativePath(installFolder) / NativePath(kInstallReceiptFileName));
}

ErrorCode ReadInstallReceipt(const std::wstring& path, InstallReceipt& receipt) {
    kLog.Info("Reading install receipt: " + WideToUtf8Lossy(path));
    try {
        const fs::path file = NativePath(path);
        if (!PathExists(file)) {
            kLog.Warning("Receipt file not found");
            return ErrorCode::FileNotFound;
        }
        std::string bytes;
        switch (platform::ReadRegularFile(file, bytes, kMaxInstallReceiptBytes)) {
            case platform::ReadFileResult::OpenFailed:
                kLog.Error("Failed to open receipt file for reading");
                return ErrorCode::ReceiptReadFailed;
            case platform::ReadFileResult::TooLarge:
                kLog.Error("Receipt file is larger than " + std::to_string(kMaxInstallReceiptBytes) + " bytes");
                return ErrorCode::InvalidArguments;
            case platform::ReadFileResult::ReadFailed: throw std::runtime_error("Failed to read receipt file");
            case platform::ReadFileResult::Ok: break;
        }
        InstallReceipt parsed;
        if (const ErrorCode code = ParseInstallReceiptJson(bytes, parsed); code != ErrorCode::Success) {
            kLog.Error("Failed to parse receipt JSON");
            return code;
        }
        receipt = std::move(parsed);
        kLog.Info("Install receipt read successfully");
        return ErrorCode::Success;
    } catch (const std::exception& e) {
        kLog.Error(std::string("Exception reading receipt: ") + e.what());
        return ErrorCode::InternalError;
    }
}

ErrorCode ParseInstallReceiptJson(const std::string& utf8, InstallReceipt& receipt) {
    if (utf8.find('\0') != std::string::npos) {
        kLog.Error("Receipt JSON contains an embedded NUL");
        return ErrorCode::InvalidArguments;
    }
    try {
        Json::Value root;
        std::string errors;
        if (!ParseJsonDocument(utf8, root, errors)) {
            kLog.Error("JSON parse error: " + errors);
            return ErrorCode::InvalidArguments;
        }
        if (JsonHasEmbeddedNul(root)) {
            kLog.Error("Receipt JSON contains an escaped embedded NUL");
            return ErrorCode::InvalidArguments;
        }
        receipt = InstallReceipt{};
        return ReadReceiptDocument(root, receipt);
    } catch (const std::exception& e) {
        kLog.Error(std::string("Exception parsing JSON: ") + e.what());
        return ErrorCode::InvalidArguments;
    }
}

bool ParseReceiptComponent(const InstallReceipt& receipt, const Json::Value& component,
                           std::vector<std::wstring>& files) {
    files.clear();
    const Json::Value& list = component["files"];
    if (!list.isArray()) return true;
    for (const Json::Value& item : list) {
        std::wstring file = PathText(item);
        if (!IsPathContainedIn(file, receipt.installPath)) return false;
        files.push_back(std::move(file));
    }
    return true;
}

bool IsSafeAbsolutePath(const std::wstring& path) {
    try {
        if (path.empty() || HasNul(path) || HasParentComponent(path)) return false;
        if (!PassesRootTest(path) || !IsRooted(path)) return false;
        std::wstring full;
        return ResolveFullPath(path, full).ok();
    } catch (...) {
        return false;
    }
}

bool IsPathContainedIn(const std::wstring& path, const std::wstring& root) {
    try {
        if (path.empty()) return true;
        if (HasNul(path) || HasNul(root) || root.empty() || HasParentComponent(path) || HasParentComponent(root)) {
            return false;
        }
        if (!PassesRootTest(path)) return false;
        std::wstring rootFull;
        std::wstring full;
        if (ResolveFullPath(root, rootFull)) return false;
        if (ResolveFullPath(IsRooted(path) ? path : JoinPathText(rootFull, path), full)) return false;
        if (platform::SamePathText(full, rootFull)) return true;
        // The full form of "X\" keeps its separator, so nothing below X can extend it.
        if (IsSeparator(root.back())) return false;
        return full.size() > rootFull.size() && full[rootFull.size()] == kNativeSeparator &&
               platform::SamePathText(std::wstring_view(full).substr(0, rootFull.size()), rootFull);
    } catch (...) {
        return false;
    }
}

}  // namespace zuvelo
