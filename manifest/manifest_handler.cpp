#include "manifest/manifest_handler.h"

#include <thread>
#include <utility>

#include "common/jsonl_logger.h"
#include "platform/private_folder.h"

namespace zuvelo {

namespace {

std::filesystem::path CacheDirOrDefault(std::filesystem::path dir) {
    return dir.empty() ? ManifestHandler::DefaultCacheDir() : std::move(dir);
}

}  // namespace

ManifestHandler::ManifestHandler(std::wstring cdnBaseUrl, ManifestHandlerOptions options)
    : cdnBaseUrl_(std::move(cdnBaseUrl)),
      httpClient_(options.http),
      cryptoVerifier_(options.trustedPublicKeys),  // logs "Initializing crypto verifier" itself
      cacheDir_(CacheDirOrDefault(options.cacheDir)),
      options_(std::move(options)) {}

ManifestHandler::~ManifestHandler() {
    try {
        CleanupCache();
    } catch (...) {
        // The cache is tidied again by the next handler; a destructor must not throw.
    }
}

std::filesystem::path ManifestHandler::DefaultCacheDir() {
    return platform::TemporaryFolder() / "ZuveloCache";
}

std::chrono::system_clock::time_point ManifestHandler::Now() const {
    return options_.now ? options_.now() : std::chrono::system_clock::now();
}

std::chrono::steady_clock::time_point ManifestHandler::MonotonicNow() const {
    return options_.monotonicNow ? options_.monotonicNow() : std::chrono::steady_clock::now();
}

void ManifestHandler::Sleep(std::chrono::milliseconds pause) const {
    if (options_.sleep) {
        options_.sleep(pause);
    } else {
        std::this_thread::sleep_for(pause);
    }
}

}  // namespace zuvelo
