#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The runtimes the client needs, one record each.
namespace zuvelo {

enum class PrerequisiteType : uint32_t {
    VcRedistX64 = 0,
    DotNetRuntime8 = 1,
    DirectXRuntime = 2,
    WindowsSdk = 3,
};

// The word that status events carry as their component; "unknown" for any other value.
const char* PrerequisiteEventWord(PrerequisiteType type);

// The decimal number of a type, for messages.
std::string PrerequisiteTypeNumber(PrerequisiteType type);

struct PrerequisiteInfo {
    PrerequisiteType type = PrerequisiteType::VcRedistX64;
    std::wstring name;              // short name for messages and progress operations
    std::wstring minimumVersion;    // descriptive: the detectors hold their own minimum
    std::wstring displayName;       // the vendor's product name (descriptive)
    std::wstring downloadUrl;       // used instead of the address under the root when set
    std::wstring installerFileName;  // on the server under "prerequisites/" and in the download folder
    std::string expectedSha256;     // 64 hex digits, any case; empty: no comparison
    uint64_t expectedSize = 0;      // bytes
    bool required = true;           // only required ones are fetched, installed and decide the status
    bool installed = false;         // set by the status check
    std::wstring installedVersion;  // set by the status check; empty when not found
    std::wstring registryKey;       // where it records itself below HKEY_LOCAL_MACHINE (descriptive)
    std::wstring registryValueName;  // empty: the key's default value (descriptive)
    std::wstring unusedText1;       // nothing sets or reads these two
    std::wstring unusedText2;
    std::wstring installArguments;  // descriptive: each installer passes its own switches
};

// The rows in order: Visual C++ and .NET, and DirectX only below Windows 10.
std::vector<PrerequisiteInfo> PrerequisiteRows(bool belowWindows10);

}  // namespace zuvelo
