#include "tests/support/file_trees.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "tests/support/test_folders.h"

namespace zuvelo::test {

namespace fs = std::filesystem;

TreeSnapshot SnapshotTree(const fs::path& root) {
    TreeSnapshot snapshot;
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(root, ec))) return snapshot;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const fs::path& p = it->path();
        const std::string rel = p.lexically_relative(root).native();
        struct stat st {};
        if (::lstat(p.c_str(), &st) != 0) throw std::runtime_error("lstat " + p.native());
        std::string description = std::to_string(st.st_mode);
        if (S_ISLNK(st.st_mode)) description += " link " + fs::read_symlink(p).native();
        else if (S_ISREG(st.st_mode)) description += " file " + ReadFile(p);
        snapshot[rel] = description;
    }
    return snapshot;
}

void MakeFlatTree(const fs::path& root, int folders, int filesPerFolder, size_t fileSize) {
    fs::create_directories(root);
    const std::string content(fileSize, 'x');
    char name[32];
    for (int d = 0; d < folders; ++d) {
        std::snprintf(name, sizeof name, "d%04d", d);
        const fs::path folder = root / name;
        if (::mkdir(folder.c_str(), 0755) != 0) throw std::runtime_error("mkdir " + folder.native());
        for (int f = 0; f < filesPerFolder; ++f) {
            std::snprintf(name, sizeof name, "f%03d.txt", f);
            const fs::path file = folder / name;
            const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (fd < 0) throw std::runtime_error("create " + file.native());
            const bool ok = content.empty() || ::write(fd, content.data(), content.size()) ==
                                                   static_cast<ssize_t>(content.size());
            ::close(fd);
            if (!ok) throw std::runtime_error("write " + file.native());
        }
    }
}

void WritePatternFile(const fs::path& path, uint64_t size, uint32_t seed) {
    if (path.has_parent_path()) fs::create_directories(path.parent_path());
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error("create " + path.native());
    std::vector<uint32_t> block(1 << 18);  // 1 MiB
    uint32_t state = seed * 2654435761u + 1;
    uint64_t left = size;
    while (left > 0) {
        for (uint32_t& word : block) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            word = state;
        }
        const size_t n = static_cast<size_t>(std::min<uint64_t>(left, block.size() * sizeof(uint32_t)));
        if (::write(fd, block.data(), n) != static_cast<ssize_t>(n)) {
            ::close(fd);
            throw std::runtime_error("write " + path.native());
        }
        left -= n;
    }
    ::close(fd);
}

}  // namespace zuvelo::test
