#include "install/prerequisite_table.h"

namespace zuvelo {

namespace {

PrerequisiteInfo Row(PrerequisiteType type, const wchar_t* name, const wchar_t* minimum, const wchar_t* displayName,
                     const wchar_t* fileName, uint64_t size, const wchar_t* key, const wchar_t* valueName,
                     const wchar_t* arguments) {
    PrerequisiteInfo row;
    row.type = type;
    row.name = name;
    row.minimumVersion = minimum;
    row.displayName = displayName;
    row.installerFileName = fileName;
    row.expectedSize = size;
    row.registryKey = key;
    row.registryValueName = valueName;
    row.installArguments = arguments;
    return row;
}

}  // namespace

const char* PrerequisiteEventWord(PrerequisiteType type) {
    switch (type) {
        case PrerequisiteType::VcRedistX64: return "vc_redist_x64";
        case PrerequisiteType::DotNetRuntime8: return "dotnet_runtime_8_0";
        case PrerequisiteType::DirectXRuntime: return "directx_runtime";
        case PrerequisiteType::WindowsSdk: return "windows_sdk";
    }
    return "unknown";
}

std::string PrerequisiteTypeNumber(PrerequisiteType type) { return std::to_string(static_cast<uint32_t>(type)); }

// No installer hashes are pinned: the files the server holds are checked
// only when a row names a digest.
std::vector<PrerequisiteInfo> PrerequisiteRows(bool belowWindows10) {
    std::vector<PrerequisiteInfo> rows;
    rows.push_back(Row(PrerequisiteType::VcRedistX64, L"Visual C++ Redistributable (x64)", L"14.30.30704",
                       L"Microsoft Visual C++ 2015-2022 Redistributable (x64)", L"VC_redist.x64.exe", 26214400,
                       L"SOFTWARE\\Microsoft\\VisualStudio\\14.0\\VC\\Runtimes\\X64", L"Version", L"/quiet /norestart"));
    rows.push_back(Row(PrerequisiteType::DotNetRuntime8, L".NET 8.0 Desktop Runtime", L"8.0.0",
                       L"Microsoft .NET Desktop Runtime 8.0", L"windowsdesktop-runtime-8.0.11-win-x64.exe", 57671680,
                       L"SOFTWARE\\WOW6432Node\\dotnet\\Setup\\InstalledVersions\\x64\\hostfxr", L"",
                       L"/quiet /norestart"));
    if (belowWindows10) {
        rows.push_back(Row(PrerequisiteType::DirectXRuntime, L"DirectX Runtime", L"4.09.00.0904",
                           L"Microsoft DirectX End-User Runtime", L"dxwebsetup.exe", 307200,
                           L"SOFTWARE\\Microsoft\\DirectX", L"Version", L"/Q"));
    }
    return rows;
}

}  // namespace zuvelo
