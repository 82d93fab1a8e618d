// A prepared session's files manifest as the launcher (or whoever can write the
// session folder) left it: read, checked and installed from a session of known
// files into a target. Only the path conversion may throw (NUL or invalid text
// in a path); whatever installs must be what the manifest names.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

#include "common/file_operations.h"
#include "common/paths.h"
#include "manifest/manifest_handler.h"
#include "manifest/prepared_session.h"
#include "platform/sha256.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

namespace fs = std::filesystem;
using namespace zuvelo;
using fuzz::Require;

ManifestFileEntry Entry(const std::string& path, const std::string& content, bool required = true) {
    ManifestFileEntry entry;
    entry.relativePath = path;
    entry.sha256 = platform::Sha256Hex(content.data(), content.size());
    entry.size = content.size();
    entry.isRequired = required;
    return entry;
}

void Write(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    fuzz::WriteInput(path, reinterpret_cast<const uint8_t*>(content.data()), content.size());
}

// The session offers a.txt and sub/b.bin; same.txt is already right at the
// target. The seeds name session files relative to the session folder, the
// working folder of this program.
struct Harness {
    Harness() {
        fuzz::SilenceEvents();
        Write(session / "a.txt", "alpha");
        Write(session / "sub" / "b.bin", "beta");
        Write(scratch / "outside.txt", "alpha");
        fs::create_directories(target);
        if (::chdir(session.c_str()) != 0) std::abort();
        manifest.version = "2.0.0";
        manifest.gameVersion = "5.0.1";
        manifest.files = {Entry("a.txt", "alpha"), Entry("sub/b.bin", "beta"), Entry("same.txt", "same"),
                          Entry("opt.txt", "optional", false)};
    }
    fuzz::ScratchFolder scratch;
    fs::path session = scratch / "session";
    fs::path target = scratch / "target";
    fs::path descriptor = scratch / "files.json";
    UpdateManifest manifest;
};

// Installed files are the manifest's, whatever the descriptor said.
void CheckTarget(const Harness& harness) {
    for (const ManifestFileEntry& entry : harness.manifest.files) {
        const fs::path file = harness.target / entry.relativePath;
        if (!fs::exists(file)) continue;
        FileOperations files;
        Require(files.VerifyFileIntegrity(WidePath(file), entry.sha256) == ErrorCode::Success);
    }
}

void Run(Harness& harness) {
    // same.txt is right at the target before each run, so the delta skip can pass.
    Write(harness.target / "same.txt", "same");
    const PreparedSessionDescriptor descriptor = ReadPreparedSessionDescriptor(WidePath(harness.descriptor));
    ManifestHandler handler(L"", ManifestHandlerOptions{.cacheDir = harness.scratch / "cache"});
    try {
        handler.ProcessPreparedSession(harness.manifest, WidePath(harness.target), WidePath(harness.session),
                                       descriptor);
    } catch (const std::system_error&) {
        __builtin_trap();  // a file-system failure escaping: not a conversion error
    } catch (const std::invalid_argument&) {
        // A path with a NUL character.
    } catch (const std::length_error&) {
        // Text that is not UTF-8.
    } catch (const std::runtime_error&) {
        // Text that is not UTF-8.
    }
    CheckTarget(harness);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Harness harness;
    fuzz::WriteInput(harness.descriptor, data, size);
    Run(harness);
    return 0;
}
