#pragma once

#include <cstdint>
#include <string>

#include <json/value.h>

#include "manifest/update_manifest.h"

// Whether a manifest describes the launcher or the client, from its "component"
// text, its game version and the paths of its files.
namespace zuvelo {

struct ComponentPatternCounts {
    int32_t launcher = 0;
    int32_t client = 0;
    int32_t resources = 0;
    int32_t total = 0;
};

// "client", "launcher", "unknown"; "invalid" for any other value.
const char* ComponentKindWord(ComponentKind kind);

// Never Unknown.
ComponentKind DetermineComponent(const UpdateManifest& manifest);
ComponentPatternCounts CountComponentPatterns(const UpdateManifest& manifest);
bool IsLauncherPath(const std::string& path);

// Heuristic on the raw document: at least half of the file paths lie in a
// launcher folder. Never throws.
bool LooksLikeLauncherManifest(const Json::Value& document);

}  // namespace zuvelo
