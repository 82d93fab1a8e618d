#include "tests/support/shell_link_reader.h"

#ifdef _WIN32
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>
#endif

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string_view>

#include "common/text.h"
#include "platform/utf16le.h"
#include "tests/support/test_folders.h"
#include "tests/support/wine.h"

namespace zuvelo::test {


namespace {

constexpr unsigned char kLinkClsid[16] = {0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                          0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

void Require(bool condition, const std::string& what) {
    if (!condition) throw std::runtime_error("malformed shell link: " + what);
}

// Little-endian fields of a byte range, each read checked against its end.
class Bytes {
public:
    explicit Bytes(std::string_view data) : data_(data) {}

    size_t size() const { return data_.size(); }
    size_t position() const { return position_; }
    void Seek(size_t position) {
        Require(position <= data_.size(), "offset past the end");
        position_ = position;
    }
    uint64_t Number(size_t width) {
        Require(data_.size() - position_ >= width, "field past the end");
        uint64_t value = 0;
        for (size_t i = 0; i < width; ++i) value |= uint64_t{static_cast<unsigned char>(data_[position_ + i])} << (8 * i);
        position_ += width;
        return value;
    }
    uint16_t U16() { return static_cast<uint16_t>(Number(2)); }
    uint32_t U32() { return static_cast<uint32_t>(Number(4)); }
    uint64_t U64() { return Number(8); }
    std::string_view Take(size_t count) {
        Require(data_.size() - position_ >= count, "data past the end");
        const std::string_view taken = data_.substr(position_, count);
        position_ += count;
        return taken;
    }
    // A NUL-terminated string of 1-byte (or 2-byte) characters at offset.
    std::string_view Terminated(size_t offset, size_t width) {
        for (size_t end = offset; end + width <= data_.size(); end += width) {
            if (data_.substr(end, width).find_first_not_of('\0') == std::string_view::npos) {
                return data_.substr(offset, end - offset);
            }
        }
        throw std::runtime_error("malformed shell link: unterminated string");
    }

private:
    std::string_view data_;
    size_t position_ = 0;
};

// The system's ANSI code page on Windows; byte by byte (Latin-1) elsewhere.
std::wstring AnsiText(const std::string& text) {
#ifdef _WIN32
    std::wstring wide(text.size(), L'\0');
    wide.resize(static_cast<size_t>(::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                                          wide.data(), static_cast<int>(wide.size()))));
    return wide;
#else
    std::wstring wide;
    for (const char c : text) wide += static_cast<wchar_t>(static_cast<unsigned char>(c));
    return wide;
#endif
}

void ReadLinkInfo(Bytes& file, ShellLinkContents& link) {
    const size_t start = file.position();
    const uint32_t size = file.U32();
    Require(size >= 0x1C && file.size() - start >= size, "LinkInfoSize");
    Bytes info(file.Take(size - 4));  // offsets below count from the structure's start
    const auto at = [&](uint32_t offset) {
        Require(offset >= 4 && offset < size, "LinkInfo offset");
        return offset - 4;
    };
    link.linkInfoHeaderSize = info.U32();
    Require(link.linkInfoHeaderSize == 0x1C || link.linkInfoHeaderSize >= 0x24, "LinkInfoHeaderSize");
    const uint32_t flags = info.U32();
    const uint32_t volumeIdOffset = info.U32();
    const uint32_t basePathOffset = info.U32();
    info.U32();  // CommonNetworkRelativeLinkOffset
    const uint32_t suffixOffset = info.U32();
    Require((flags & 0x1) != 0, "no VolumeIDAndLocalBasePath");

    info.Seek(at(volumeIdOffset));
    const uint32_t volumeSize = info.U32();
    Require(volumeSize > 0x10 && volumeIdOffset + volumeSize <= size, "VolumeIDSize");
    link.driveType = info.U32();
    info.U32();  // serial number
    const uint32_t labelOffset = info.U32();
    Require(labelOffset < volumeSize && labelOffset != 0x14, "VolumeLabelOffset");
    info.Terminated(at(volumeIdOffset) + labelOffset, 1);

    link.localBasePathAnsi = std::string(info.Terminated(at(basePathOffset), 1));
    const std::string suffix(info.Terminated(at(suffixOffset), 1));
    link.localBasePath = AnsiText(link.localBasePathAnsi + suffix);
    if (link.linkInfoHeaderSize >= 0x24) {
        info.Seek(0x1C - 4);
        const uint32_t basePathUnicode = info.U32();
        const uint32_t suffixUnicode = info.U32();
        link.localBasePath = platform::TextFromUtf16Le(info.Terminated(at(basePathUnicode), 2)) +
                             platform::TextFromUtf16Le(info.Terminated(at(suffixUnicode), 2));
    }
}

std::wstring ReadCountedString(Bytes& file, bool countsTerminator) {
    const uint16_t count = file.U16();
    std::string_view units = file.Take(size_t{count} * 2);
    if (countsTerminator) {
        Require(units.size() >= 2 && units.substr(units.size() - 2) == std::string_view("\0\0", 2),
                "counted string without its terminator");
        units.remove_suffix(2);
    }
    const std::wstring text = platform::TextFromUtf16Le(units);
    Require(platform::Utf16LeBytes(text) == units, "string with a NUL or an unpaired surrogate");
    return text;
}

}  // namespace

ShellLinkContents ReadShellLink(const std::filesystem::path& path) {
    const std::string data = ReadFile(path);
    Bytes file(data);
    ShellLinkContents link;
    link.headerSize = file.U32();
    Require(link.headerSize == 0x4C, "HeaderSize");
    link.shellLinkClsid = std::memcmp(file.Take(16).data(), kLinkClsid, 16) == 0;
    link.linkFlags = file.U32();
    link.fileAttributes = file.U32();
    link.creationTime = file.U64();
    link.accessTime = file.U64();
    link.writeTime = file.U64();
    link.fileSize = file.U32();
    link.iconIndex = static_cast<int32_t>(file.U32());
    link.showCommand = file.U32();
    Require(link.showCommand == 1 || link.showCommand == 3 || link.showCommand == 7, "ShowCommand");
    link.hotkey = file.U16();
    Require(file.U16() == 0 && file.U32() == 0 && file.U32() == 0, "reserved fields");

    if (link.linkFlags & 0x1) file.Take(file.U16());  // LinkTargetIDList
    if (link.linkFlags & 0x2) ReadLinkInfo(file, link);
    Require((link.linkFlags & 0x80) != 0, "strings not Unicode");
    const struct {
        uint32_t flag;
        std::wstring* text;
    } strings[] = {{0x4, &link.description},
                   {0x8, &link.relativePath},
                   {0x10, &link.workingDirectory},
                   {0x20, &link.arguments},
                   {0x40, &link.iconLocation}};
    // Wine's shell counts each string's terminating NUL; Windows and our writer do not.
    const bool countsTerminator = RunningUnderWine();
    for (const auto& string : strings) {
        if (link.linkFlags & string.flag) *string.text = ReadCountedString(file, countsTerminator);
    }
    for (uint32_t blockSize = file.U32(); blockSize >= 4; blockSize = file.U32()) file.Take(blockSize - 4);
    Require(file.position() == file.size(), "data after the terminal block");
    return link;
}

#ifdef _WIN32

namespace {

template <typename Interface>
struct Released {
    Interface* object = nullptr;
    ~Released() {
        if (object) object->Release();
    }
};

void RequireRead(HRESULT result, const std::string& what) {
    if (FAILED(result)) throw std::runtime_error("the shell cannot read the link: " + what);
}

// A text the link hands out into a buffer of the given size.
template <typename Call>
std::wstring Text(size_t capacity, Call call) {
    std::wstring text(capacity, L'\0');
    call(text.data(), static_cast<int>(capacity));
    text.resize(std::wcslen(text.c_str()));
    return text;
}

// What the shell reads from a link: the target, the texts, the icon, the window state and the hotkey.
ShellLinkContents ReadShellLinkThroughShell(const std::filesystem::path& path) {
    constexpr size_t kCapacity = 32768;
    Released<IShellLinkW> link;
    Released<IPersistFile> file;
    RequireRead(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                               reinterpret_cast<void**>(&link.object)),
            "CoCreateInstance");
    RequireRead(link.object->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file.object)), "IPersistFile");
    RequireRead(file.object->Load(path.c_str(), STGM_READ), "Load");
    ShellLinkContents contents;
    IShellLinkW& read = *link.object;
    contents.localBasePath = Text(kCapacity, [&](wchar_t* b, int n) { read.GetPath(b, n, nullptr, SLGP_RAWPATH); });
    contents.description = Text(kCapacity, [&](wchar_t* b, int n) { read.GetDescription(b, n); });
    contents.workingDirectory = Text(kCapacity, [&](wchar_t* b, int n) { read.GetWorkingDirectory(b, n); });
    contents.arguments = Text(kCapacity, [&](wchar_t* b, int n) { read.GetArguments(b, n); });
    int iconIndex = 0;
    contents.iconLocation = Text(kCapacity, [&](wchar_t* b, int n) { read.GetIconLocation(b, n, &iconIndex); });
    contents.iconIndex = iconIndex;
    int showCommand = 0;
    RequireRead(read.GetShowCmd(&showCommand), "GetShowCmd");
    contents.showCommand = static_cast<uint32_t>(showCommand);
    WORD hotkey = 0;
    RequireRead(read.GetHotkey(&hotkey), "GetHotkey");
    contents.hotkey = hotkey;
    return contents;
}

// COM on the thread for the reading, whatever the caller has done.
struct ComForReading {
    const bool initialized = SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE));
    ~ComForReading() {
        if (initialized) ::CoUninitialize();
    }
};

}  // namespace

#endif

ShellLinkContents ReadShellLinkBothWays(const std::filesystem::path& path) {
    const ShellLinkContents file = ReadShellLink(path);
#ifdef _WIN32
    const ComForReading com;
    const ShellLinkContents shell = ReadShellLinkThroughShell(path);
    EXPECT_EQ(shell.localBasePath, file.localBasePath) << "target of " << Utf8FromPath(path);
    EXPECT_EQ(shell.description, file.description) << "description of " << Utf8FromPath(path);
    EXPECT_EQ(shell.workingDirectory, file.workingDirectory) << "working directory of " << Utf8FromPath(path);
    EXPECT_EQ(shell.arguments, file.arguments) << "arguments of " << Utf8FromPath(path);
    EXPECT_EQ(shell.iconLocation, file.iconLocation) << "icon of " << Utf8FromPath(path);
    EXPECT_EQ(shell.iconIndex, file.iconIndex) << "icon index of " << Utf8FromPath(path);
    EXPECT_EQ(shell.hotkey, file.hotkey) << "hotkey of " << Utf8FromPath(path);
    // Wine's shell reads every window state back as normal.
    if (!RunningUnderWine()) {
        EXPECT_EQ(shell.showCommand, file.showCommand) << "window state of " << Utf8FromPath(path);
    }
#endif
    return file;
}

}  // namespace zuvelo::test
