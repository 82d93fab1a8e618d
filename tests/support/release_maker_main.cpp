// Writes a release for the test server to serve, signed with the test key.
//   zuvelo_release_maker --root DIR (--sample | --count N --size BYTES) [--list FILE]
// --sample: a handful of small files in nested folders, one read-only, one optional.
// --count/--size: N files of pseudo-random bytes, 100 to a folder.
// DIR receives manifest.json and files/<h8>/<path>; --list names a file that
// receives one line per required file: "<served path> <relative path>".
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/manifest_signing.h"
#include "tests/support/sample_release.h"

namespace {

namespace fs = std::filesystem;
using zuvelo::test::ReleaseEntry;
using zuvelo::test::ReleaseFile;

struct Arguments {
    fs::path root;
    fs::path list;
    bool sample = false;
    uint64_t count = 0;
    uint64_t size = 0;
};

Arguments ParseArguments(int argc, char** argv) {
    Arguments arguments;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--sample") {
            arguments.sample = true;
            continue;
        }
        if (i + 1 >= argc) throw std::invalid_argument("missing value for " + name);
        const std::string value = argv[++i];
        if (name == "--root") arguments.root = value;
        else if (name == "--list") arguments.list = value;
        else if (name == "--count") arguments.count = std::stoull(value);
        else if (name == "--size") arguments.size = std::stoull(value);
        else throw std::invalid_argument("unknown option " + name);
    }
    if (arguments.root.empty()) throw std::invalid_argument("--root is required");
    if (!arguments.sample && arguments.count == 0) throw std::invalid_argument("--sample or --count is required");
    return arguments;
}

std::vector<ReleaseFile> SampleFiles() {
    std::vector<ReleaseFile> files = {
        {"README.txt", "Zuvelo sample release.\n", true, "", false},
        {"bin/zuvelo-game.bin", std::string(48 * 1024, 'Z'), true, "755", true},
        {"data/levels/level-01.dat", "level one\n", true, "", false},
        {"data/levels/level-02.dat", "level two\n", true, "", false},
        {"docs/LICENSE.txt", "Sample licence text.\n", true, "444", false},
        {"extras/hd-textures.pak", "optional content\n", false, "", false},
    };
    return files;
}

std::vector<ReleaseEntry> GeneratedFiles(const fs::path& root, uint64_t count, uint64_t size) {
    std::vector<ReleaseEntry> entries;
    for (uint64_t i = 0; i < count; ++i) {
        const std::string folder = "data/d" + std::to_string(i / 100);
        entries.push_back(
            zuvelo::test::PublishGeneratedFile(root, folder + "/file-" + std::to_string(i) + ".bin", size, i + 1));
    }
    return entries;
}

void WriteList(const fs::path& file, const std::vector<ReleaseEntry>& entries) {
    std::ofstream out(file, std::ios::trunc);
    for (const ReleaseEntry& entry : entries) {
        if (entry.required) out << zuvelo::test::ServedPath(entry) << ' ' << entry.path << '\n';
    }
    if (!out.flush()) throw std::runtime_error("cannot write " + file.string());
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const Arguments arguments = ParseArguments(argc, argv);
        fs::create_directories(arguments.root);
        const std::vector<ReleaseEntry> entries =
            arguments.sample ? zuvelo::test::PublishFiles(arguments.root, SampleFiles())
                             : GeneratedFiles(arguments.root, arguments.count, arguments.size);
        const auto key = zuvelo::test::SigningKey::ManifestTestKey();
        zuvelo::test::WriteJsonFile(arguments.root / "manifest.json", zuvelo::test::SignedLegacyManifest(entries, key));
        if (!arguments.list.empty()) WriteList(arguments.list, entries);
        return 0;
    } catch (const std::exception& error) {
        std::cerr << "zuvelo_release_maker: " << error.what() << "\n";
        return 2;
    }
}
