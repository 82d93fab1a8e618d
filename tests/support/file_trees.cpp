#include "tests/support/file_trees.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "tests/support/test_folders.h"

namespace zuvelo::test {

namespace fs = std::filesystem;

namespace {

std::string Utf8(const fs::path& path) {
    const std::u8string text = path.generic_u8string();
    return std::string(text.begin(), text.end());
}

void WriteWhole(const fs::path& path, std::ios::openmode mode, const char* data, size_t size) {
    std::ofstream out(path, std::ios::binary | mode);
    if (!out.write(data, static_cast<std::streamsize>(size))) throw std::runtime_error("write " + Utf8(path));
}

}  // namespace

TreeSnapshot SnapshotTree(const fs::path& root) {
    TreeSnapshot snapshot;
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(root, ec))) return snapshot;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const fs::path& p = it->path();
        const fs::file_status status = fs::symlink_status(p);
        std::string description = std::to_string(static_cast<int>(status.type())) + " " +
                                  std::to_string(static_cast<unsigned>(status.permissions()));
        if (fs::is_symlink(status)) description += " link " + Utf8(fs::read_symlink(p));
        else if (fs::is_regular_file(status)) description += " file " + ReadFile(p);
        snapshot[Utf8(p.lexically_relative(root))] = description;
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
        if (!fs::create_directory(folder)) throw std::runtime_error("mkdir " + Utf8(folder));
        for (int f = 0; f < filesPerFolder; ++f) {
            std::snprintf(name, sizeof name, "f%03d.txt", f);
            WriteWhole(folder / name, std::ios::trunc, content.data(), content.size());
        }
    }
}

void WritePatternFile(const fs::path& path, uint64_t size, uint32_t seed) {
    if (path.has_parent_path()) fs::create_directories(path.parent_path());
    WriteWhole(path, std::ios::trunc, nullptr, 0);
    std::vector<uint32_t> block(1 << 18);  // 1 MiB
    uint32_t state = seed * 2654435761u + 1;
    for (uint64_t left = size; left > 0;) {
        for (uint32_t& word : block) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            word = state;
        }
        const size_t n = static_cast<size_t>(std::min<uint64_t>(left, block.size() * sizeof(uint32_t)));
        WriteWhole(path, std::ios::app, reinterpret_cast<const char*>(block.data()), n);
        left -= n;
    }
}

}  // namespace zuvelo::test
