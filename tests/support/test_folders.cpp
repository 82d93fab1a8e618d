#include "tests/support/test_folders.h"

#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <system_error>

#include "tests/support/scoped_env.h"

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

void WriteFile(const fs::path& path, const std::string& bytes) {
    if (path.has_parent_path()) fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace zuvelo::test
