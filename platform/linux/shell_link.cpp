#include "platform/shell_link.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <new>
#include <string_view>
#include <vector>

#include "platform/file_io.h"
#include "platform/staged_file.h"
#include "platform/utf16le.h"
#include "platform/utf8.h"
#include "platform/win32_error.h"

namespace zuvelo::platform {

namespace {

namespace fs = std::filesystem;

// 00021401-0000-0000-C000-000000000046 as stored: the first three fields little-endian.
constexpr unsigned char kLinkClsid[16] = {0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                          0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
constexpr uint32_t kHeaderSize = 0x4C;

namespace link_flags {
constexpr uint32_t kHasLinkInfo = 0x2;
constexpr uint32_t kHasName = 0x4;
constexpr uint32_t kHasRelativePath = 0x8;
constexpr uint32_t kHasWorkingDir = 0x10;
constexpr uint32_t kHasArguments = 0x20;
constexpr uint32_t kHasIconLocation = 0x40;
constexpr uint32_t kIsUnicode = 0x80;
}  // namespace link_flags

constexpr uint32_t kAttributeReadOnly = 0x1;
constexpr uint32_t kAttributeDirectory = 0x10;
constexpr uint32_t kAttributeArchive = 0x20;

constexpr uint32_t kLinkInfoHeaderSize = 0x1C;
constexpr uint32_t kLinkInfoHeaderSizeWithUnicode = 0x24;
constexpr uint32_t kVolumeIdAndLocalBasePath = 0x1;
constexpr uint32_t kVolumeIdHeaderSize = 0x10;
constexpr uint32_t kDriveFixed = 3;

// Seconds between 1601-01-01 and 1970-01-01, the FILETIME and Unix epochs.
constexpr int64_t kEpochDifferenceSeconds = 11644473600;

void Put16(std::string& out, uint16_t value) {
    out += static_cast<char>(value & 0xFF);
    out += static_cast<char>(value >> 8);
}

void Put32(std::string& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

void Put64(std::string& out, uint64_t value) {
    for (int i = 0; i < 8; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

// No NUL, no surrogate code point, a Unicode scalar, and a UTF-16 length that a
// 16-bit count holds.
bool IsStorable(const std::wstring& text) {
    size_t units = 0;
    for (const wchar_t wc : text) {
        const auto c = static_cast<uint32_t>(wc);
        if (c == 0 || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
        units += c > 0xFFFF ? 2 : 1;
    }
    return units <= 0xFFFF;
}

bool IsAbsolute(const std::wstring& path) { return !path.empty() && path.front() == L'/'; }

bool IsAscii(const std::wstring& text) {
    for (const wchar_t c : text) {
        if (static_cast<uint32_t>(c) >= 0x80) return false;
    }
    return true;
}

// The system code page's form of a path: characters it cannot be sure of become "?".
std::string AnsiText(const std::wstring& text) {
    std::string out;
    for (const wchar_t c : text) out += static_cast<uint32_t>(c) < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

// FILETIME: 100-nanosecond intervals since 1601; 0 (no time) before that.
uint64_t FileTime(const statx_timestamp& time) {
    const int64_t seconds = time.tv_sec + kEpochDifferenceSeconds;
    if (seconds < 0) return 0;
    return static_cast<uint64_t>(seconds) * 10000000u + time.tv_nsec / 100u;
}

std::vector<std::wstring_view> Components(std::wstring_view path) {
    std::vector<std::wstring_view> parts;
    size_t start = 0;
    while (start <= path.size()) {
        const size_t end = std::min(path.find(L'/', start), path.size());
        const std::wstring_view part = path.substr(start, end - start);
        if (!part.empty() && part != L".") parts.push_back(part);
        start = end + 1;
    }
    return parts;
}

// The target as seen from the link's folder ("./name", "../folder/name"), so a
// tree moved as a whole still resolves; empty when either path holds "..".
std::wstring RelativePath(const std::wstring& target, const std::wstring& linkPath) {
    const std::vector<std::wstring_view> to = Components(target);
    std::vector<std::wstring_view> from = Components(linkPath);
    if (to.empty() || from.empty()) return {};
    from.pop_back();  // the link's own name
    for (const auto& parts : {to, from}) {
        for (const std::wstring_view part : parts) {
            if (part == L"..") return {};
        }
    }
    size_t common = 0;
    while (common < from.size() && common + 1 < to.size() && from[common] == to[common]) ++common;
    std::wstring relative = common == from.size() ? L"." : L"..";
    for (size_t i = common + 1; i < from.size(); ++i) relative += L"/..";
    for (size_t i = common; i < to.size(); ++i) relative += L"/" + std::wstring(to[i]);
    return relative;
}

void PutCountedString(std::string& out, const std::wstring& text) {
    const std::string bytes = Utf16LeBytes(text);
    Put16(out, static_cast<uint16_t>(bytes.size() / 2));
    out += bytes;
}

// VolumeID (a fixed drive without label), the local base path and an empty
// common suffix; the Unicode forms follow when the path is not plain ASCII.
std::string LinkInfo(const std::wstring& target) {
    const bool withUnicode = !IsAscii(target);
    const uint32_t headerSize = withUnicode ? kLinkInfoHeaderSizeWithUnicode : kLinkInfoHeaderSize;

    std::string volumeId;
    Put32(volumeId, kVolumeIdHeaderSize + 1);
    Put32(volumeId, kDriveFixed);
    Put32(volumeId, 0);  // drive serial number
    Put32(volumeId, kVolumeIdHeaderSize);
    volumeId += '\0';  // empty volume label

    const std::string basePath = AnsiText(target) + '\0';
    const uint32_t volumeIdOffset = headerSize;
    const auto basePathOffset = static_cast<uint32_t>(volumeIdOffset + volumeId.size());
    const auto suffixOffset = static_cast<uint32_t>(basePathOffset + basePath.size());
    const uint32_t basePathUnicodeOffset = suffixOffset + 1;
    const std::string basePathUnicode = Utf16LeBytes(target) + std::string(2, '\0');
    const auto suffixUnicodeOffset = static_cast<uint32_t>(basePathUnicodeOffset + basePathUnicode.size());

    std::string body = volumeId + basePath + '\0';
    if (withUnicode) body += basePathUnicode + std::string(2, '\0');

    std::string info;
    Put32(info, static_cast<uint32_t>(headerSize + body.size()));
    Put32(info, headerSize);
    Put32(info, kVolumeIdAndLocalBasePath);
    Put32(info, volumeIdOffset);
    Put32(info, basePathOffset);
    Put32(info, 0);  // no network location
    Put32(info, suffixOffset);
    if (withUnicode) {
        Put32(info, basePathUnicodeOffset);
        Put32(info, suffixUnicodeOffset);
    }
    return info + body;
}

HResult FromWin32(uint32_t error) {
    switch (error) {
        case win32::kAccessDenied:
        case win32::kWriteProtect: return kE_ACCESSDENIED;
        case win32::kNotEnoughMemory:
        case win32::kOutOfMemory: return kE_OUTOFMEMORY;
        default: return kE_FAIL;
    }
}

HResult StoreText(std::wstring& field, const std::wstring& text) {
    if (!IsStorable(text)) return kE_INVALIDARG;
    field = text;
    return kS_OK;
}

}  // namespace

HResult InitializeComForThread() { return kS_OK; }

void UninitializeCom() {}

void NotifyShellOfChanges() {}

struct ShellLink::State {
    std::wstring target;
    std::wstring arguments;
    std::wstring workingDirectory;
    std::wstring description;
    std::wstring iconPath;
    int32_t iconIndex = 0;
    int32_t showCommand = kShowNormal;
    uint16_t hotkey = 0;
    uint32_t fileAttributes = 0;
    uint32_t fileSize = 0;
    uint64_t creationTime = 0;
    uint64_t accessTime = 0;
    uint64_t writeTime = 0;
};

ShellLink::ShellLink() : state_(std::make_unique<State>()) {}

ShellLink::~ShellLink() = default;

HResult ShellLink::SetPath(const std::wstring& target) {
    if (!IsStorable(target) || !IsAbsolute(target)) return kE_INVALIDARG;
    state_->target = target;
    state_->fileAttributes = 0;
    state_->fileSize = 0;
    state_->creationTime = state_->accessTime = state_->writeTime = 0;
    struct statx info {};
    if (::statx(AT_FDCWD, Utf8FromWide(target).c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &info) != 0) return kS_OK;
    state_->fileAttributes = S_ISDIR(info.stx_mode) ? kAttributeDirectory : kAttributeArchive;
    if ((info.stx_mode & 0222) == 0) state_->fileAttributes |= kAttributeReadOnly;
    state_->fileSize = static_cast<uint32_t>(info.stx_size);  // the low 32 bits, as the format keeps them
    if (info.stx_mask & STATX_BTIME) state_->creationTime = FileTime(info.stx_btime);
    state_->accessTime = FileTime(info.stx_atime);
    state_->writeTime = FileTime(info.stx_mtime);
    return kS_OK;
}

HResult ShellLink::SetArguments(const std::wstring& arguments) { return StoreText(state_->arguments, arguments); }

HResult ShellLink::SetWorkingDirectory(const std::wstring& folder) { return StoreText(state_->workingDirectory, folder); }

HResult ShellLink::SetDescription(const std::wstring& description) { return StoreText(state_->description, description); }

HResult ShellLink::SetIconLocation(const std::wstring& iconPath, int32_t index) {
    const HResult result = StoreText(state_->iconPath, iconPath);
    if (result == kS_OK) state_->iconIndex = index;
    return result;
}

HResult ShellLink::SetShowCmd(int32_t showCommand) {
    state_->showCommand = showCommand;
    return kS_OK;
}

HResult ShellLink::SetHotkey(uint16_t hotkey) {
    state_->hotkey = hotkey;
    return kS_OK;
}

HResult ShellLink::Save(const std::wstring& linkPath) const {
    if (state_->target.empty()) return kE_FAIL;
    const std::string nativeLink = Utf8FromWide(linkPath);
    if (nativeLink.empty() || !IsAbsolute(linkPath)) return kE_INVALIDARG;
    const fs::path file(nativeLink);
    if (!file.has_filename()) return kE_INVALIDARG;

    const std::wstring relative = RelativePath(state_->target, linkPath);
    const struct {
        uint32_t flag;
        const std::wstring& text;
    } strings[] = {{link_flags::kHasName, state_->description},
                   {link_flags::kHasRelativePath, relative},
                   {link_flags::kHasWorkingDir, state_->workingDirectory},
                   {link_flags::kHasArguments, state_->arguments},
                   {link_flags::kHasIconLocation, state_->iconPath}};
    uint32_t flags = link_flags::kHasLinkInfo | link_flags::kIsUnicode;
    std::string stringData;
    for (const auto& string : strings) {
        if (string.text.empty()) continue;
        flags |= string.flag;
        PutCountedString(stringData, string.text);
    }

    std::string bytes;
    Put32(bytes, kHeaderSize);
    bytes.append(reinterpret_cast<const char*>(kLinkClsid), sizeof(kLinkClsid));
    Put32(bytes, flags);
    Put32(bytes, state_->fileAttributes);
    Put64(bytes, state_->creationTime);
    Put64(bytes, state_->accessTime);
    Put64(bytes, state_->writeTime);
    Put32(bytes, state_->fileSize);
    Put32(bytes, static_cast<uint32_t>(state_->iconIndex));
    Put32(bytes, static_cast<uint32_t>(StoredShowCommand(state_->showCommand)));
    Put16(bytes, state_->hotkey);
    Put16(bytes, 0);
    Put32(bytes, 0);
    Put32(bytes, 0);
    bytes += LinkInfo(state_->target);
    bytes += stringData;
    Put32(bytes, 0);  // terminal block

    StagedFile staged;
    if (const uint32_t error = staged.Create(file.parent_path(), 0644)) return FromWin32(error);
    if (const uint32_t error = WriteFullyAt(staged.fd(), bytes.data(), bytes.size(), 0)) return FromWin32(error);
    if (const uint32_t error = staged.CommitAs(file.filename().native())) return FromWin32(error);
    return kS_OK;
}

HResult CreateShellLink(std::unique_ptr<ShellLink>& out) {
    try {
        out = std::make_unique<ShellLink>();
    } catch (const std::bad_alloc&) {
        return kE_OUTOFMEMORY;
    }
    return kS_OK;
}

}  // namespace zuvelo::platform
