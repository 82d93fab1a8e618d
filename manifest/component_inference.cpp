#include "manifest/component_inference.h"

#include <algorithm>
#include <string_view>

#include "manifest/json_access.h"
#include "manifest/manifest_rules.h"

namespace zuvelo {

namespace {

bool StartsOrContainsFolder(std::string_view lowerPath, std::string_view folder) {
    // folder is "name/"; it counts at the start or after any separator.
    if (lowerPath.starts_with(folder)) return true;
    std::string inner = "/" + std::string(folder);
    return lowerPath.find(inner) != std::string_view::npos;
}

bool IsClientPath(std::string_view lowerPath) {
    for (std::string_view prefix : {"client/", "game/", "bin/", "assets/"}) {
        if (lowerPath.starts_with(prefix)) return true;
    }
    return false;
}

// "path" when it is a string, else "relativePath" when it is a string.
const Json::Value* RawFilePath(const Json::Value& file) {
    for (std::string_view key : {"path", "relativePath"}) {
        if (HasStringMember(file, key)) return FindMember(file, key);
    }
    return nullptr;
}

}  // namespace

const char* ComponentKindWord(ComponentKind kind) {
    switch (kind) {
        case ComponentKind::Client: return "client";
        case ComponentKind::Launcher: return "launcher";
        case ComponentKind::Unknown: return "unknown";
    }
    return "invalid";
}

ComponentKind DetermineComponent(const UpdateManifest& manifest) {
    if (!manifest.component.empty()) {
        const std::string lower = AsciiLower(manifest.component);
        if (lower == "launcher") return ComponentKind::Launcher;
        if (lower == "client") return ComponentKind::Client;
    }
    if (!manifest.gameVersion.empty()) return ComponentKind::Client;
    const ComponentPatternCounts counts = CountComponentPatterns(manifest);
    if (counts.total == 0) return ComponentKind::Client;
    return counts.launcher + counts.resources > counts.client ? ComponentKind::Launcher : ComponentKind::Client;
}

ComponentPatternCounts CountComponentPatterns(const UpdateManifest& manifest) {
    ComponentPatternCounts counts;
    for (const ManifestFileEntry& entry : manifest.files) {
        const std::string lower = AsciiLower(entry.relativePath);
        ++counts.total;
        if (StartsOrContainsFolder(lower, "launcher/")) ++counts.launcher;
        if (StartsOrContainsFolder(lower, "resources/")) ++counts.resources;
        if (IsClientPath(lower)) ++counts.client;
    }
    return counts;
}

bool IsLauncherPath(const std::string& path) {
    return !path.empty() && StartsOrContainsFolder(AsciiLower(path), "launcher/");
}

bool LooksLikeLauncherManifest(const Json::Value& document) {
    const Json::Value* files = FindMember(document, "files");
    if (!files || !files->isArray()) return false;
    int64_t taken = 0;
    int64_t launcher = 0;
    for (const Json::Value& file : *files) {
        const Json::Value* path = RawFilePath(file);
        if (!path) continue;
        ++taken;
        if (IsLauncherPath(path->asString())) ++launcher;
    }
    if (taken == 0) return false;
    return launcher >= std::max<int64_t>((taken + 1) / 2, 1);
}

}  // namespace zuvelo
