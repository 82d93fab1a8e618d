// Manifest text as it comes from the server: parsing with its schema check, then
// the content validation and signature check of the application flow. Beyond
// the sanitizers, whatever passes must keep the promises later steps rely on.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <json/value.h>

#include "common/jsonl_logger.h"
#include "common/paths.h"
#include "manifest/canonical_manifest.h"
#include "manifest/manifest_handler.h"
#include "manifest/manifest_rules.h"

namespace {

using namespace zuvelo;

// The public half of the test key: the signed seed passes, and every other
// signature text is decoded and checked against a real key.
constexpr const char* kPublicKey = "golmR1Bvy00+s+tPZnWlwKndolBFIkaM6C4ZidNmGLg=";

class Harness {
public:
    Harness() {
        std::string pattern = (std::filesystem::temp_directory_path() / "zuvelo-fuzz-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) std::abort();
        cache_ = pattern;
        JsonlLogger::Instance().SetVerbose(true);
        JsonlLogger::Instance().SetStdoutSinkForTesting([](std::string_view) {});
        handler_ = std::make_unique<ManifestHandler>(L"", ManifestHandlerOptions{.cacheDir = cache_, .trustedPublicKeys = {kPublicKey}});
    }
    ~Harness() {
        handler_.reset();
        std::error_code ignored;
        std::filesystem::remove_all(cache_, ignored);
    }
    ManifestHandler& handler() { return *handler_; }

private:
    std::filesystem::path cache_;
    std::unique_ptr<ManifestHandler> handler_;
};

void Require(bool condition) {
    if (!condition) __builtin_trap();
}

bool IsLowerHex(const std::string& hash) { return IsValidSha256Hex(hash) && AsciiLower(hash) == hash; }

void CheckParsed(const UpdateManifest& manifest) {
    Require(manifest.files.size() <= kMaxManifestFiles);
    Require(manifest.componentKind != ComponentKind::Unknown);
    Require(manifest.componentKind == ComponentKind::Launcher || !manifest.gameVersion.empty());
    for (const ManifestFileEntry& entry : manifest.files) {
        Require(entry.sha256 == AsciiLower(entry.sha256));
        Require(entry.relativePath.size() <= kMaxManifestPathBytes);
    }
    (void)CanonicalManifestText(manifest);
}

void CheckValidated(const UpdateManifest& manifest) {
    Require(!manifest.files.empty() && IsValidVersion(manifest.version));
    for (const ManifestFileEntry& entry : manifest.files) {
        Require(IsSafeRelativePathUtf8(entry.relativePath));
        Require(IsLowerHex(entry.sha256));
        Require(entry.size <= kMaxManifestFileSize);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Harness harness;
    const std::string text(reinterpret_cast<const char*>(data), size);
    UpdateManifest manifest;
    try {
        if (!Succeeded(ManifestHandler::ParseManifestJson(text, manifest))) return 0;
        CheckParsed(manifest);
        if (Succeeded(harness.handler().ValidateManifest(manifest))) CheckValidated(manifest);
    } catch (const Json::LogicError&) {
        // JsonCpp's conversion errors (a member of the wrong type), which the
        // parser lets through and the command and plan handlers turn into result 4.
        // Anything else thrown is a fault.
    }
    return 0;
}
