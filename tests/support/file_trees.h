#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

namespace zuvelo::test {

// Everything below a folder, by relative path ("/"-separated UTF-8): type, permissions
// and content (files), link text (links). Links are recorded, never followed.
using TreeSnapshot = std::map<std::string, std::string>;
TreeSnapshot SnapshotTree(const std::filesystem::path& root);

// folders sub-folders "d0000".."dNNNN" under root, each with filesPerFolder files
// "f000.txt".. of fileSize bytes.
void MakeFlatTree(const std::filesystem::path& root, int folders, int filesPerFolder, size_t fileSize);

// A file of exactly size bytes of a fixed pseudo-random pattern (seeded).
void WritePatternFile(const std::filesystem::path& path, uint64_t size, uint32_t seed = 1);

}  // namespace zuvelo::test
