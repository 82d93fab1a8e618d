#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zuvelo {

// The manifest public keys this build trusts (base64 of raw 32-byte Ed25519 keys);
// empty when the build was configured without one.
std::vector<std::string> BuildManifestPublicKeys();

// Splits a key list at ";" and ","; blanks around keys and empty items are dropped.
std::vector<std::string> SplitPublicKeyList(std::string_view list);

}  // namespace zuvelo
