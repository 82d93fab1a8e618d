#include <algorithm>
#include <array>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "common/text.h"
#include "install/prereq_installer.h"
#include "install/prereq_log.h"
#include "install/registry_manager.h"
#include "platform/compare_string.h"
#include "platform/file_io.h"
#include "platform/file_version.h"
#include "platform/machine_root.h"
#include "platform/registry.h"
#include "platform/win32_error.h"

namespace zuvelo {

namespace {

namespace fs = std::filesystem;

constexpr const wchar_t* kVcRedistMinimum = L"14.30.30704";
constexpr const wchar_t* kVcRedistKey = L"SOFTWARE\\Microsoft\\VisualStudio\\14.0\\VC\\Runtimes\\X64";
constexpr std::array<const wchar_t*, 3> kVcRedistAlternativeKeys = {
    L"SOFTWARE\\Microsoft\\VisualStudio\\14.0\\VC\\Runtimes\\x64",
    L"SOFTWARE\\WOW6432Node\\Microsoft\\VisualStudio\\14.0\\VC\\Runtimes\\x64",
    L"SOFTWARE\\Classes\\Installer\\Dependencies\\Microsoft.VS.VC_RuntimeMinimumVSU_amd64,v14",
};
constexpr const wchar_t* kDotNetMinimum = L"8.0.0";
constexpr const wchar_t* kDotNetKey = L"SOFTWARE\\WOW6432Node\\dotnet\\Setup\\InstalledVersions\\x64\\hostfxr";
constexpr const wchar_t* kDirectXMinimum = L"4.09.00.0904";
constexpr const wchar_t* kDirectXKey = L"SOFTWARE\\Microsoft\\DirectX";
constexpr size_t kComparedComponents = 4;

// The answer "present": the flag, the version and the INFO line that names it.
ErrorCode Detected(bool& installed, std::wstring& version, const std::wstring& found, const std::string& message) {
    installed = true;
    version = found;
    kPrereqLog.Info(message + WideToUtf8Lossy(found));
    return ErrorCode::Success;
}

bool AtLeast(const std::wstring& version, const std::wstring& minimum) {
    int comparison = 0;
    PrereqInstaller::CompareVersions(version, minimum, comparison);
    return comparison >= 0;
}

// A REG_DWORD value; anything else, or nothing, counts as absent without a word.
std::optional<uint32_t> ReadRegistryDword(const std::wstring& keyPath, const std::wstring& valueName) {
    const std::unique_ptr<platform::Registry> registry = platform::OpenMachineRegistry();
    RegistryKeyHolder key(*registry);
    platform::RegistryKeyHandle handle = 0;
    if (registry->OpenKey(keyPath, handle) != 0) return std::nullopt;
    key.Own(handle);
    uint32_t type = 0;
    std::string data;
    if (registry->QueryValue(key.get(), valueName, type, data) != 0 || type != platform::reg::kDword) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(platform::RegistryNumberFromData(data));
}

// std::stoi's reading of one component; 0 when it has no number or it does not fit.
int32_t ComponentValue(const std::wstring& text) {
    try {
        return std::stoi(text);
    } catch (const std::logic_error&) {
        return 0;
    }
}

std::wstring RemoveLineBreaks(std::wstring text) {
    std::erase_if(text, [](wchar_t c) { return c == L'\r' || c == L'\n'; });
    return text;
}

std::string FormatFileVersion(const platform::FixedFileVersion& version) {
    return std::to_string(version.fileVersionMS >> 16) + "." + std::to_string(version.fileVersionMS & 0xFFFF) + "." +
           std::to_string(version.fileVersionLS >> 16) + "." + std::to_string(version.fileVersionLS & 0xFFFF);
}

ErrorCode VersionFailure(const std::string& message) {
    kPrereqLog.Error(message);
    return ErrorCode::FileAccessDenied;
}

constexpr int kSystemFolder = 37;  // CSIDL_SYSTEM

// Both files of the runtime in the system folder; none when the folder cannot be found.
std::optional<fs::path> DirectXLibrary() {
    fs::path system32;
    if (platform::SpecialFolderPath(kSystemFolder, system32) != 0 || system32.empty()) return std::nullopt;
    if (!fs::exists(system32 / "d3d9.dll") || !fs::exists(system32 / "dxgi.dll")) return std::nullopt;
    return system32 / "d3d9.dll";
}

}  // namespace

ErrorCode PrereqInstaller::DetectPrerequisite(PrerequisiteType type, bool& installed, std::wstring& version) {
    switch (type) {
        case PrerequisiteType::VcRedistX64: return DetectVcRedist(installed, version);
        case PrerequisiteType::DotNetRuntime8: return DetectDotNetRuntime(installed, version);
        case PrerequisiteType::DirectXRuntime: return DetectDirectX(installed, version);
        case PrerequisiteType::WindowsSdk: return DetectWindowsSdk(installed, version);
    }
    kPrereqLog.Error("Unknown prerequisite type: " + PrerequisiteTypeNumber(type));
    return ErrorCode::InvalidArguments;
}

ErrorCode PrereqInstaller::DetectVcRedist(bool& installed, std::wstring& version) {
    kPrereqLog.Debug("Detecting VC++ Redistributable");
    installed = false;
    version.clear();
    std::wstring found;
    if (Succeeded(ReadRegistryString(kVcRedistKey, L"Version", found)) && !found.empty()) {
        const std::optional<uint32_t> flag = ReadRegistryDword(kVcRedistKey, L"Installed");
        if (flag && *flag != 0 && AtLeast(found, kVcRedistMinimum)) {
            return Detected(installed, version, found, "VC++ Redistributable detected: ");
        }
    }
    for (const wchar_t* key : kVcRedistAlternativeKeys) {
        // On a registry that ignores case this is the key read above: its answer stands.
        if (platform::OrdinalEqualIgnoreCase(key, kVcRedistKey)) continue;
        if (Succeeded(ReadRegistryString(key, L"Version", found)) && AtLeast(found, kVcRedistMinimum)) {
            return Detected(installed, version, found, "VC++ Redistributable detected (alternative): ");
        }
    }
    kPrereqLog.Info("VC++ Redistributable not detected or insufficient version");
    return ErrorCode::Success;
}

ErrorCode PrereqInstaller::DetectDotNetRuntime(bool& installed, std::wstring& version) {
    kPrereqLog.Debug("Detecting .NET Runtime");
    installed = false;
    version.clear();
    std::wstring found;
    if (Succeeded(ReadRegistryString(kDotNetKey, L"", found)) && !found.empty() && AtLeast(found, kDotNetMinimum)) {
        return Detected(installed, version, found, ".NET Runtime detected: ");
    }
    std::wstring output;
    uint32_t exitCode = 0;
    if (Succeeded(RunCommand(L"dotnet --version", output, exitCode)) && exitCode == 0) {
        found = RemoveLineBreaks(output);
        if (AtLeast(found, kDotNetMinimum)) {
            return Detected(installed, version, found, ".NET Runtime detected via command: ");
        }
    }
    kPrereqLog.Info(".NET Runtime not detected or insufficient version");
    return ErrorCode::Success;
}

ErrorCode PrereqInstaller::DetectDirectX(bool& installed, std::wstring& version) {
    kPrereqLog.Debug("Detecting DirectX");
    installed = false;
    version.clear();
    std::wstring found;
    if (Succeeded(ReadRegistryString(kDirectXKey, L"Version", found)) && !found.empty() &&
        AtLeast(found, kDirectXMinimum)) {
        return Detected(installed, version, found, "DirectX detected: ");
    }
    if (const std::optional<fs::path> d3d9 = DirectXLibrary(); d3d9 && Succeeded(GetFileVersionString(*d3d9, found))) {
        return Detected(installed, version, found, "DirectX detected via file version: ");
    }
    if (IsWindowsVersionOrGreater(10, 0)) {
        installed = true;
        version = L"Built-in (Windows 10+)";
        kPrereqLog.Info("DirectX assumed present on Windows 10+");
        return ErrorCode::Success;
    }
    kPrereqLog.Info("DirectX not detected");
    return ErrorCode::Success;
}

ErrorCode PrereqInstaller::DetectWindowsSdk(bool& installed, std::wstring& version) {
    kPrereqLog.Debug("Detecting Windows SDK components");
    installed = IsWindowsVersionOrGreater(10, 0);
    version = installed ? L"Built-in" : L"";
    kPrereqLog.Info(installed ? "Windows SDK components assumed present"
                              : "Windows SDK components not available on this OS version");
    return ErrorCode::Success;
}

ErrorCode PrereqInstaller::ReadRegistryString(const std::wstring& keyPath, const std::wstring& valueName,
                                              std::wstring& out) {
    const std::unique_ptr<platform::Registry> registry = platform::OpenMachineRegistry();
    RegistryKeyHolder key(*registry);
    platform::RegistryKeyHandle handle = 0;
    if (const uint32_t err = registry->OpenKey(keyPath, handle); err != 0) {
        if (err == platform::win32::kFileNotFound) return ErrorCode::RegistryKeyNotFound;
        kPrereqLog.Error("Failed to open registry key: " + WideToUtf8Lossy(keyPath) +
                         " (error: " + std::to_string(err) + ")");
        return ErrorCode::RegistryAccessDenied;
    }
    key.Own(handle);
    uint32_t type = 0;
    std::string data;
    if (const uint32_t err = registry->QueryValue(key.get(), valueName, type, data); err != 0) {
        if (err == platform::win32::kFileNotFound) return ErrorCode::RegistryValueNotFound;
        kPrereqLog.Error("Failed to query registry value size: " + WideToUtf8Lossy(valueName));
        return ErrorCode::RegistryAccessDenied;
    }
    if (type != platform::reg::kSz && type != platform::reg::kExpandSz) {
        kPrereqLog.Error("Registry value is not a string: " + WideToUtf8Lossy(valueName));
        return ErrorCode::RegistryValueNotFound;
    }
    data.resize(data.size() - data.size() % 2);  // whole 16-bit characters
    out = platform::RegistryStringFromData(data);
    return ErrorCode::Success;
}

ErrorCode PrereqInstaller::GetFileVersionString(const fs::path& file, std::wstring& out) {
    const std::string path = ToUtf8Lossy(file);
    platform::UniqueFd fd;
    platform::VersionResource resource;
    uint32_t err = platform::OpenForReading(file, fd);
    if (err == 0) err = platform::FindVersionResource(fd.get(), resource);
    if (err != 0) {
        return VersionFailure("Failed to get version info size for: " + path + " (error: " + std::to_string(err) + ")");
    }
    std::vector<unsigned char> block;
    if ((err = platform::ReadVersionResource(fd.get(), resource, block)) != 0) {
        return VersionFailure("Failed to get version info for: " + path + " (error: " + std::to_string(err) + ")");
    }
    platform::FixedFileVersion version;
    if (!platform::QueryFixedFileVersion(block, version)) {
        return VersionFailure("Failed to query version value for: " + path);
    }
    out = Utf8ToWide(FormatFileVersion(version));
    return ErrorCode::Success;
}

std::vector<int32_t> PrereqInstaller::ParseVersion(const std::wstring& version) {
    std::vector<int32_t> components;
    std::wistringstream stream(version);
    for (std::wstring component; std::getline(stream, component, L'.');) components.push_back(ComponentValue(component));
    if (components.size() < kComparedComponents) components.resize(kComparedComponents, 0);
    return components;
}

ErrorCode PrereqInstaller::CompareVersions(const std::wstring& a, const std::wstring& b, int& result) {
    const std::vector<int32_t> first = ParseVersion(a);
    const std::vector<int32_t> second = ParseVersion(b);
    result = 0;
    for (size_t i = 0; i < std::min(first.size(), second.size()) && result == 0; ++i) {
        if (first[i] != second[i]) result = first[i] < second[i] ? -1 : 1;
    }
    return ErrorCode::Success;
}

}  // namespace zuvelo
