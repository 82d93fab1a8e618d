#pragma once

#include <string_view>

#include <json/value.h>

namespace zuvelo {

// The member of an object, or null when value is not an object or lacks it. Never throws.
inline const Json::Value* FindMember(const Json::Value& value, std::string_view key) {
    if (!value.isObject()) return nullptr;
    return value.find(key.data(), key.data() + key.size());
}

inline bool HasStringMember(const Json::Value& value, std::string_view key) {
    const Json::Value* member = FindMember(value, key);
    return member && member->isString();
}

}  // namespace zuvelo

namespace zuvelo {

// The asset dialect has an "assets" array or a "schemaVersion" text; anything else is legacy.
inline bool IsAssetDialectDocument(const Json::Value& document) {
    const Json::Value* assets = FindMember(document, "assets");
    return (assets && assets->isArray()) || HasStringMember(document, "schemaVersion");
}

}  // namespace zuvelo
