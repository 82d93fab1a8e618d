// The files manifest as the orphan cleanup reads it to learn what the release
// ships. The reader answers with a code and throws nothing; every key it returns
// must be a safe relative key, since files not among them may be deleted.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "common/paths.h"
#include "install/orphan_inventory.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using namespace zuvelo;
using fuzz::Require;

void CheckKey(const std::string& key) {
    Require(!key.empty() && IsSafeRelativePathUtf8(key));
    Require(key == ToRelativeKey(key));  // already in key form: lower case, "/", no outer separators
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::ScratchFolder scratch;
    static const bool silenced = (fuzz::SilenceEvents(), true);
    (void)silenced;
    const std::filesystem::path file = scratch / "files.json";
    fuzz::WriteInput(file, data, size);
    std::set<std::string> expected;
    const ErrorCode result = ReadExpectedFiles(WidePath(file), expected);
    if (result != ErrorCode::Success) {
        Require(expected.empty());
        return 0;
    }
    for (const std::string& key : expected) CheckKey(key);
    return 0;
}
