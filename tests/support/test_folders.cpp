#include "tests/support/test_folders.h"

#ifdef _WIN32
#include <windows.h>
#include <winioctl.h>
#endif

#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "tests/support/scoped_env.h"
#include "tests/support/wine.h"

namespace zuvelo::test {

namespace fs = std::filesystem;

TempFolder::TempFolder() {
    // mkdtemp's contract on both systems: a new name, created by this call alone.
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = "zuvelo-test-";
        for (int i = 0; i < 8; ++i) name += kLetters[random() % (sizeof(kLetters) - 1)];
        const fs::path candidate = fs::temp_directory_path() / name;
        if (fs::create_directory(candidate)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot make a temporary folder");
}

TempFolder::~TempFolder() {
    std::error_code ec;
    // Tests may leave read-only entries behind; give write permission back first.
    for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (!it->is_symlink()) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(path_, ec);
}

ScopedMachineRoot::ScopedMachineRoot()
    : variable_(std::make_unique<ScopedEnvironmentVariable>("ZUVELO_MACHINE_ROOT", folder_.path().string())) {}

ScopedMachineRoot::~ScopedMachineRoot() = default;

#ifdef _WIN32
namespace {

// FSCTL_SET_REPARSE_POINT with a mount-point buffer: the link folder names target ("\??\"
// form) and shows it as its print name.
bool MakeJunction(const fs::path& target, const fs::path& link) {
    const std::wstring print = fs::absolute(target).wstring();
    const std::wstring substitute = L"\\??\\" + print;
    const size_t names = (substitute.size() + 1 + print.size() + 1) * sizeof(wchar_t);
    const size_t header = 8;          // tag, data length, reserved
    const size_t offsets = 4 * sizeof(USHORT);
    std::vector<char> buffer(header + offsets + names);
    const auto put16 = [&](size_t at, size_t value) {
        const USHORT v = static_cast<USHORT>(value);
        std::memcpy(buffer.data() + at, &v, sizeof v);
    };
    const ULONG tag = IO_REPARSE_TAG_MOUNT_POINT;
    std::memcpy(buffer.data(), &tag, sizeof tag);
    put16(4, offsets + names);
    put16(8, 0);
    put16(10, substitute.size() * sizeof(wchar_t));
    put16(12, (substitute.size() + 1) * sizeof(wchar_t));
    put16(14, print.size() * sizeof(wchar_t));
    std::memcpy(buffer.data() + header + offsets, substitute.c_str(), (substitute.size() + 1) * sizeof(wchar_t));
    std::memcpy(buffer.data() + header + offsets + (substitute.size() + 1) * sizeof(wchar_t), print.c_str(),
                (print.size() + 1) * sizeof(wchar_t));
    if (!fs::create_directory(link)) return false;
    const HANDLE folder = ::CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE) return false;
    DWORD returned = 0;
    const BOOL made = ::DeviceIoControl(folder, FSCTL_SET_REPARSE_POINT, buffer.data(),
                                        static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr);
    ::CloseHandle(folder);
    return made != FALSE;
}

}  // namespace

bool MakeLink(const fs::path& target, const fs::path& link, LinkKind kind) {
    if (RunningUnderWine()) return false;  // Wine 8 claims to make symbolic links but makes none
    if (kind == LinkKind::Junction) return MakeJunction(target, link);
    const DWORD flags = kind == LinkKind::Folder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0;
    constexpr DWORD kUnprivileged = 0x2;  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE (Windows 10)
    return ::CreateSymbolicLinkW(link.c_str(), target.c_str(), flags | kUnprivileged) ||
           ::CreateSymbolicLinkW(link.c_str(), target.c_str(), flags);
}

UndeletableFile::UndeletableFile(const fs::path& folder) {
    WriteFile(folder / "in-use.txt", "x");
    handle_ = ::CreateFileW((folder / "in-use.txt").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot hold the file open");
}

UndeletableFile::~UndeletableFile() { ::CloseHandle(handle_); }

#else
UndeletableFile::UndeletableFile(const fs::path& folder) { WriteFile(folder / "odd\\name", "x"); }

UndeletableFile::~UndeletableFile() = default;

bool MakeLink(const fs::path& target, const fs::path& link, LinkKind kind) {
    if (kind == LinkKind::Junction) return false;
    if (kind == LinkKind::Folder) fs::create_directory_symlink(target, link);
    else fs::create_symlink(target, link);
    return true;
}
#endif

void WriteFile(const fs::path& path, const std::string& bytes) {
    if (path.has_parent_path()) fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

void WriteZeroFile(const fs::path& path, uint64_t size) {
    WriteFile(path, "");
    fs::resize_file(path, size);
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace zuvelo::test
