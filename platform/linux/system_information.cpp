#include "platform/system_information.h"

#include <sys/statvfs.h>
#include <sys/utsname.h>

#include <charconv>
#include <optional>
#include <string>
#include <system_error>

#include <json/reader.h>
#include <json/value.h>

#include "platform/linux/machine_root.h"
#include "platform/process_startup.h"
#include "platform/regular_file.h"
#include "platform/win32_error.h"

namespace zuvelo::platform {

namespace {

constexpr OsVersion kDefaultOsVersion{10, 0};

uint16_t HostProcessor() {
    utsname names{};
    if (::uname(&names) != 0) return processor::kUnknown;
    const std::string machine = names.machine;
    if (machine == "x86_64") return processor::kX64;
    if (machine == "aarch64") return processor::kArm64;
    if (machine.size() == 4 && machine[0] == 'i' && machine.substr(2) == "86") return processor::kX86;
    return processor::kUnknown;
}

uint16_t ProcessorOfWord(const std::string& word) {
    if (word == "x64") return processor::kX64;
    if (word == "x86") return processor::kX86;
    if (word == "ARM64") return processor::kArm64;
    return processor::kUnknown;
}

// "major.minor", optionally followed by ".build".
std::optional<OsVersion> ParseOsVersion(const std::string& text) {
    OsVersion version;
    const char* end = text.data() + text.size();
    auto [afterMajor, majorError] = std::from_chars(text.data(), end, version.major);
    if (majorError != std::errc() || afterMajor == end || *afterMajor != '.') return std::nullopt;
    auto [afterMinor, minorError] = std::from_chars(afterMajor + 1, end, version.minor);
    if (minorError != std::errc() || (afterMinor != end && *afterMinor != '.')) return std::nullopt;
    return version;
}

// The description of the machine: an empty object when there is none; nothing
// when it cannot be read or is not a JSON object.
std::optional<Json::Value> ReadMachineDescription() {
    const std::filesystem::path file = MachineRoot() / "machine.json";
    std::error_code ec;
    if (!std::filesystem::exists(file, ec) && !ec) return Json::Value(Json::objectValue);
    std::string text;
    if (ReadRegularFile(file, text) != ReadFileResult::Ok) return std::nullopt;
    Json::Value document;
    std::string errors;
    const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    if (!reader->parse(text.data(), text.data() + text.size(), &document, &errors) || !document.isObject()) {
        return std::nullopt;
    }
    return document;
}

class MachineSystemInformation final : public SystemInformation {
public:
    bool IsElevated() override { return IsProcessElevated(); }

    uint32_t QueryOsVersion(OsVersion& out) override {
        const std::optional<Json::Value> machine = ReadMachineDescription();
        if (!machine) return win32::kInvalidData;
        const Json::Value& text = (*machine)["osVersion"];
        if (text.isNull()) {
            out = kDefaultOsVersion;
            return 0;
        }
        const std::optional<OsVersion> version = text.isString() ? ParseOsVersion(text.asString()) : std::nullopt;
        if (!version) return win32::kInvalidData;
        out = *version;
        return 0;
    }

    uint16_t ProcessorArchitecture() override {
        const std::optional<Json::Value> machine = ReadMachineDescription();
        if (!machine) return processor::kUnknown;
        const Json::Value& word = (*machine)["architecture"];
        if (word.isNull()) return HostProcessor();
        return word.isString() ? ProcessorOfWord(word.asString()) : processor::kUnknown;
    }

    uint32_t QueryFreeBytes(const std::filesystem::path& folder, uint64_t& out) override {
        struct statvfs info {};
        if (::statvfs(folder.c_str(), &info) != 0) return LastWin32Error();
        out = static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
        return 0;
    }
};

}  // namespace

std::unique_ptr<SystemInformation> OpenSystemInformation() { return std::make_unique<MachineSystemInformation>(); }

}  // namespace zuvelo::platform
