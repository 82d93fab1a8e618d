// The registry store (registry/HKLM.json under the machine root) as a damaged
// disk or an earlier version may have left it, read through the registry's own
// calls. Every call answers with a Windows number and throws nothing. A store
// that loads must take a change and give it back, and must still load after it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/registry.h"
#include "platform/win32_error.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

namespace fs = std::filesystem;
using namespace zuvelo::platform;
using zuvelo::fuzz::Require;

constexpr const wchar_t* kUninstallKey = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Zuvelo";

struct Harness {
    Harness() {
        zuvelo::fuzz::SilenceEvents();
        ::setenv("ZUVELO_MACHINE_ROOT", scratch.path().c_str(), 1);
        fs::create_directories(scratch / "registry");
    }
    zuvelo::fuzz::ScratchFolder scratch;
    fs::path store = scratch / "registry" / "HKLM.json";
};

// Reads what the detection and the uninstaller read; true when the store loaded.
bool ReadAsTheProgramsDo(Registry& registry) {
    RegistryKeyHandle key = 0;
    const uint32_t opened = registry.OpenKey(kUninstallKey, key);
    if (opened != 0) return opened == win32::kFileNotFound;
    uint32_t type = 0;
    std::string data;
    for (const wchar_t* name : {L"InstallLocation", L"DisplayVersion", L""}) {
        if (registry.QueryValue(key, name, type, data) == 0 && (type == reg::kSz || type == reg::kExpandSz)) {
            RegistryStringFromData(data);
        }
    }
    registry.CloseKey(key);
    return true;
}

void ChangeAndReadBack(Registry& registry) {
    RegistryKeyHandle key = 0;
    Require(registry.CreateKey(kUninstallKey, key) == 0);
    const std::string data = RegistryStringData(L"C:\\Zuvelo");
    Require(registry.SetValue(key, L"InstallLocation", reg::kSz, data) == 0);
    uint32_t type = 0;
    std::string read;
    Require(registry.QueryValue(key, L"installlocation", type, read) == 0);
    Require(type == reg::kSz && read == data);
    registry.CloseKey(key);
    Require(ReadAsTheProgramsDo(*OpenMachineRegistry()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Harness harness;
    zuvelo::fuzz::WriteInput(harness.store, data, size);
    const auto registry = OpenMachineRegistry();
    if (ReadAsTheProgramsDo(*registry)) ChangeAndReadBack(*registry);
    return 0;
}
