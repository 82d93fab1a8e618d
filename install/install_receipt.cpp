#include "install/install_receipt.h"

#include <ctime>
#include <exception>
#include <filesystem>
#include <utility>

#include <json/value.h>
#include <json/writer.h>

#include "common/jsonl_logger.h"
#include "common/paths.h"
#include "common/text.h"
#include "install/product_identity.h"
#include "platform/file_io.h"
#include "platform/staged_file.h"
#include "platform/win32_error.h"

namespace zuvelo {

namespace {

namespace fs = std::filesystem;

constexpr ComponentLogger kLog{"install_receipt"};

Json::Value StringArray(const std::vector<std::wstring>& items) {
    Json::Value array(Json::arrayValue);
    for (const std::wstring& item : items) array.append(WideToUtf8(item));
    return array;
}

// Null when no component has a version.
Json::Value ComponentsJson(const InstallReceipt& receipt) {
    const std::pair<const char*, const ReceiptComponent*> named[] = {
        {"launcher", &receipt.launcher}, {"client", &receipt.client}, {"helper", &receipt.helper}};
    Json::Value components;
    for (const auto& [name, component] : named) {
        if (component->version.empty()) continue;
        Json::Value entry(Json::objectValue);
        entry["version"] = WideToUtf8(component->version);
        entry["files"] = StringArray(component->files);
        components[name] = entry;
    }
    return components;
}

Json::Value ShortcutsJson(const std::vector<ReceiptShortcut>& shortcuts) {
    Json::Value array(Json::arrayValue);
    for (const ReceiptShortcut& shortcut : shortcuts) {
        Json::Value entry(Json::objectValue);
        entry["name"] = WideToUtf8(shortcut.name);
        entry["type"] = WideToUtf8(shortcut.type);
        entry["scope"] = WideToUtf8(shortcut.scope);
        array.append(entry);
    }
    return array;
}

// Staged beside the target and renamed over it: 0, or the failure's message.
const char* WriteStaged(const fs::path& target, const std::string& text) {
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    platform::StagedFile staged;
    if (staged.Create(folder, 0644) != 0) return "Failed to open receipt file for writing";
    if (platform::WriteFullyAt(staged.fd(), text.data(), text.size(), 0) != 0 ||
        platform::FlushFile(staged.fd()) != 0 || staged.CommitAs(Utf8FromPath(target.filename())) != 0) {
        return "Failed to write receipt file";
    }
    return nullptr;
}

}  // namespace

std::wstring FormatReceiptTime(std::chrono::system_clock::time_point time) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm utc{};
    if (!::gmtime_r(&seconds, &utc)) return {};
    char text[32];
    if (std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc) == 0) return {};
    return Utf8ToWide(text);
}

InstallReceipt BuildInstallReceipt(const std::wstring& installPath, const std::wstring& version,
                                   std::chrono::system_clock::time_point now) {
    InstallReceipt receipt;
    receipt.version = version;
    receipt.installDate = FormatReceiptTime(now);
    receipt.installPath = installPath;
    receipt.launcherPath = JoinPathText(installPath, kLauncherFolderName);
    return receipt;
}

void SetReceiptComponent(InstallReceipt& receipt, const std::string& name, const ReceiptComponent& component) {
    if (name == "launcher") {
        receipt.launcher = component;
    } else if (name == "client") {
        receipt.client = component;
    } else if (name == "helper") {
        receipt.helper = component;
    } else {
        kLog.Warning("Unknown component: " + name);
    }
}

std::string InstallReceiptToJson(const InstallReceipt& receipt) {
    Json::Value root(Json::objectValue);
    root["version"] = WideToUtf8(receipt.version);
    root["installDate"] = WideToUtf8(receipt.installDate);
    root["installPath"] = WideToUtf8(receipt.installPath);
    root["launcherPath"] = WideToUtf8(receipt.launcherPath);
    root["components"] = ComponentsJson(receipt);
    root["shortcuts"] = ShortcutsJson(receipt.shortcuts);
    root["registry"] = Json::Value(Json::objectValue);
    root["registry"]["uninstallKey"] = WideToUtf8(receipt.uninstallKey);
    root["services"] = StringArray(receipt.services);
    root["scheduledTasks"] = StringArray(receipt.scheduledTasks);
    root["firewallRules"] = StringArray(receipt.firewallRules);
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "  ";
    return Json::writeString(builder, root);
}

ErrorCode WriteInstallReceipt(const InstallReceipt& receipt, const std::wstring& path) {
    kLog.Info("Writing install receipt: " + WideToUtf8Lossy(path));
    try {
        const std::string text = InstallReceiptToJson(receipt);
        const fs::path target = NativePath(path);
        if (target.has_parent_path() && !PathExists(target.parent_path())) {
            if (const SystemError err = CreateFolders(target.parent_path())) {
                throw fs::filesystem_error("create_directories", target.parent_path(),
                                           platform::ErrorCodeFromWin32(err.code()));
            }
        }
        if (const char* failure = WriteStaged(target, text)) {
            kLog.Error(failure);
            return ErrorCode::ReceiptWriteFailed;
        }
        kLog.Info("Install receipt written successfully");
        return ErrorCode::Success;
    } catch (const std::exception& e) {
        kLog.Error(std::string("Exception writing receipt: ") + e.what());
        return ErrorCode::InternalError;
    }
}

}  // namespace zuvelo
