#pragma once

#include <string>

#include <json/value.h>

#include "manifest/update_manifest.h"

// The signed part of a manifest. Signers must produce the same text byte for
// byte: a compact JSON object with sorted members, non-ASCII escaped as \uXXXX.
namespace zuvelo {

Json::Value CanonicalManifestDocument(const UpdateManifest& manifest);
std::string CanonicalManifestText(const UpdateManifest& manifest);

}  // namespace zuvelo
