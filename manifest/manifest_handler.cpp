#include "manifest/manifest_handler.h"

#include <random>
#include <thread>
#include <utility>

#include "common/jsonl_logger.h"
#include "common/paths.h"
#include "common/text.h"
#include "common/tree_removal.h"
#include "platform/private_folder.h"

namespace zuvelo {

namespace {

std::filesystem::path CacheDirOrDefault(std::filesystem::path dir) {
    return dir.empty() ? ManifestHandler::DefaultCacheDir() : std::move(dir);
}

// Eight characters of [0-9a-z], different for every handler.
std::string NewRunToken() {
    static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::random_device random;
    std::string token;
    for (int i = 0; i < 8; ++i) token += kDigits[random() % (sizeof(kDigits) - 1)];
    return token;
}

}  // namespace

ManifestHandler::ManifestHandler(std::wstring cdnBaseUrl, ManifestHandlerOptions options)
    : cdnBaseUrl_(std::move(cdnBaseUrl)),
      httpClient_(options.http),
      cryptoVerifier_(options.trustedPublicKeys),  // logs "Initializing crypto verifier" itself
      cacheDir_(CacheDirOrDefault(options.cacheDir)),
      options_(std::move(options)),
      runToken_(NewRunToken()),
      system_(options_.system ? options_.system : platform::OpenSystemInformation()) {}

ManifestHandler::~ManifestHandler() {
    // A flow that never got the update lock leaves the cache alone: another run may be using it.
    if (flowWithoutLock_) return;
    try {
        if (freshCacheDir_) {
            RemoveTreeWithoutEvents(WidePath(cacheDir_));  // a folder left behind is only clutter
        } else {
            CleanupCache();
        }
    } catch (...) {
        // The cache is tidied again by the next handler; a destructor must not throw.
    }
}

std::filesystem::path ManifestHandler::TemporaryPath(const std::filesystem::path& file) const {
    return cacheDir_ / PathFromUtf8(Utf8FromPath(file) + "." + runToken_ + ".tmp");
}

std::filesystem::path ManifestHandler::DefaultCacheDir() {
    return platform::TemporaryFolder() / "ZuveloCache";
}

platform::FileLock& ManifestHandler::UpdateLock() {
    return options_.updateLock ? *options_.updateLock : ownUpdateLock_;
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
