#include "tests/support/symlinks.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <stdexcept>

#include "tests/support/test_folders.h"

namespace zuvelo::test {

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
// The C++ library makes no links on Windows; Wine's call reports success and makes nothing.
bool TryMakeSymlink(const fs::path& target, const fs::path& link, bool directory) {
    DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
    if (directory) flags |= SYMBOLIC_LINK_FLAG_DIRECTORY;
    if (!::CreateSymbolicLinkW(link.c_str(), target.c_str(), flags)) return false;
    const DWORD attributes = ::GetFileAttributesW(link.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}
#else
bool TryMakeSymlink(const fs::path& target, const fs::path& link, bool directory) {
    std::error_code ec;
    directory ? fs::create_directory_symlink(target, link, ec) : fs::create_symlink(target, link, ec);
    return !ec;
}
#endif

}  // namespace

bool SymlinksAvailable() {
    static const bool available = [] {
        const TempFolder folder;
        return TryMakeSymlink(folder / "target", folder / "link", false);
    }();
    return available;
}

void MakeSymlink(const fs::path& target, const fs::path& link, bool directory) {
    if (!TryMakeSymlink(target, link, directory)) throw std::runtime_error("cannot make a symbolic link");
}

}  // namespace zuvelo::test
