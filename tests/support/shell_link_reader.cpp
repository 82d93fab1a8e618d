#include "tests/support/shell_link_reader.h"

#ifdef _WIN32
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>
#endif

#include <cstring>
#include <stdexcept>
#include <string_view>

#include "platform/utf16le.h"
#include "tests/support/test_folders.h"

namespace zuvelo::test {

#ifdef _WIN32

namespace {

template <typename Interface>
struct Released {
    Interface* object = nullptr;
    ~Released() {
        if (object) object->Release();
    }
};

void Require(HRESULT result, const std::string& what) {
    if (FAILED(result)) throw std::runtime_error("cannot read shell link: " + what);
}

// A text the link hands out into a buffer of the given size.
template <typename Call>
std::wstring Text(size_t capacity, Call call) {
    std::wstring text(capacity, L'\0');
    call(text.data(), static_cast<int>(capacity));
    text.resize(std::wcslen(text.c_str()));
    return text;
}

}  // namespace

ShellLinkContents ReadShellLink(const std::filesystem::path& path) {
    constexpr size_t kCapacity = 32768;
    Released<IShellLinkW> link;
    Released<IPersistFile> file;
    Require(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                               reinterpret_cast<void**>(&link.object)),
            "CoCreateInstance");
    Require(link.object->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file.object)), "IPersistFile");
    Require(file.object->Load(path.c_str(), STGM_READ), "Load");
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
    Require(read.GetShowCmd(&showCommand), "GetShowCmd");
    contents.showCommand = static_cast<uint32_t>(showCommand);
    WORD hotkey = 0;
    Require(read.GetHotkey(&hotkey), "GetHotkey");
    contents.hotkey = hotkey;
    return contents;
}

#else

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
    link.localBasePath.clear();
    for (const char c : link.localBasePathAnsi + suffix) link.localBasePath += static_cast<wchar_t>(static_cast<unsigned char>(c));
    if (link.linkInfoHeaderSize >= 0x24) {
        info.Seek(0x1C - 4);
        const uint32_t basePathUnicode = info.U32();
        const uint32_t suffixUnicode = info.U32();
        link.localBasePath = platform::TextFromUtf16Le(info.Terminated(at(basePathUnicode), 2)) +
                             platform::TextFromUtf16Le(info.Terminated(at(suffixUnicode), 2));
    }
}

std::wstring ReadCountedString(Bytes& file) {
    const uint16_t count = file.U16();
    const std::string_view units = file.Take(size_t{count} * 2);
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
    for (const auto& string : strings) {
        if (link.linkFlags & string.flag) *string.text = ReadCountedString(file);
    }
    for (uint32_t blockSize = file.U32(); blockSize >= 4; blockSize = file.U32()) file.Take(blockSize - 4);
    Require(file.position() == file.size(), "data after the terminal block");
    return link;
}

#endif

}  // namespace zuvelo::test
