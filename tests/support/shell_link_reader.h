#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace zuvelo::test {

// Everything a .lnk file holds that the programs write.
struct ShellLinkContents {
    uint32_t headerSize = 0;
    bool shellLinkClsid = false;
    uint32_t linkFlags = 0;
    uint32_t fileAttributes = 0;
    uint64_t creationTime = 0;
    uint64_t accessTime = 0;
    uint64_t writeTime = 0;
    uint32_t fileSize = 0;
    int32_t iconIndex = 0;
    uint32_t showCommand = 0;
    uint16_t hotkey = 0;

    uint32_t linkInfoHeaderSize = 0;
    uint32_t driveType = 0;
    std::string localBasePathAnsi;
    std::wstring localBasePath;  // the Unicode form when present, else the ANSI one
    std::wstring description;
    std::wstring relativePath;
    std::wstring workingDirectory;
    std::wstring arguments;
    std::wstring iconLocation;
};

// Reads a shell link strictly by the Shell Link Binary File Format; throws
// std::runtime_error naming the first part that does not follow it (sizes,
// offsets, counts, the terminal block and nothing after it included). Under
// Wine a string's count includes its terminating NUL, as Wine's shell writes it.
ShellLinkContents ReadShellLink(const std::filesystem::path& file);

// ReadShellLink's reading; on Windows the shell also loads the link
// (IPersistFile::Load) and must find the same target, texts, icon, window state
// and hotkey in it: each difference fails the test.
ShellLinkContents ReadShellLinkBothWays(const std::filesystem::path& file);

}  // namespace zuvelo::test
