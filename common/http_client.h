#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/error_codes.h"

namespace zuvelo {

namespace platform {
class HttpRequest;
class HttpSession;
class Sha256;
}  // namespace platform

// The running state of one download, handed to the progress callback.
struct DownloadProgress {
    uint64_t bytesDownloaded = 0;
    uint64_t totalBytes = 0;
    double percent = 0.0;
    std::chrono::steady_clock::time_point startTime;
    std::chrono::steady_clock::time_point currentTime;
    double bytesPerSecond = 0.0;
    int64_t remainingMs = 0;
};

// Returning false cancels the download.
using DownloadProgressCallback = std::function<bool(DownloadProgress&)>;

// One download request. userAgent and the time-outs travel with the record but
// the session's fixed values apply.
struct DownloadOptions {
    std::wstring userAgent = L"ZuveloElevated/1.0";
    uint32_t timeoutMs = 30000;
    uint32_t connectTimeoutMs = 10000;
    bool resume = true;
    uint64_t maxBytes = 2147483648ULL;
    DownloadProgressCallback progress;
    std::map<std::wstring, std::wstring> headers;
    // When set, receives the SHA-256 of the whole destination file as written,
    // so the caller need not read it again; left empty when it could not be taken.
    std::string* sha256 = nullptr;
    // When set, becomes true when the download fails (161) because the file
    // would pass maxBytes, so a caller can tell that from other failures.
    bool* tooLarge = nullptr;
};

// Response header names compare without regard to case.
struct HeaderNameLess {
    bool operator()(std::string_view a, std::string_view b) const;
    static bool Equal(std::string_view a, std::string_view b);
};
using HttpHeaders = std::map<std::string, std::string, HeaderNameLess>;

// Downloads one URL into one file, synchronously, with optional resumption.
// Between Initialize and Cleanup consecutive downloads share one session, so
// they reuse its connections, TLS sessions and trust store.
class HttpClient {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    // Test seams: a shorter stall limit and a clock for the progress records
    // and the spacing of progress events.
    struct Tuning {
        std::chrono::milliseconds stallLimit{30000};
        Clock clock;
    };

    HttpClient();
    explicit HttpClient(Tuning tuning);
    ~HttpClient();
    HttpClient(HttpClient&&) noexcept;
    HttpClient& operator=(HttpClient&&) noexcept;
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    ErrorCode Initialize();
    void Cleanup();
    bool IsInitialized() const { return initialized_; }

    ErrorCode DownloadFile(const std::wstring& url, const std::filesystem::path& destination,
                           const DownloadOptions& options);

    static HttpHeaders ParseResponseHeaders(std::string_view rawHead);
    // Content-Length when it is all digits and fits; 0 otherwise.
    static uint64_t GetContentLength(const HttpHeaders& headers) noexcept;
    static ErrorCode MapWinHttpError(uint32_t win32Error) noexcept;
    static void LogHttpError(const std::wstring& operation, const std::wstring& url, uint32_t win32Error) noexcept;

    // Forgets the time of the last progress event, as in a fresh process.
    static void ResetProgressSpacingForTesting();

private:
    ErrorCode OpenRequest(const std::wstring& url, platform::HttpRequest& request, const DownloadOptions& options);
    ErrorCode SendAndReceive(platform::HttpRequest& request);
    ErrorCode CheckStatus(long status, uint64_t& offset);
    ErrorCode ReceiveToFile(platform::HttpRequest& request, const std::filesystem::path& destination,
                            const DownloadOptions& options, uint64_t offset);
    ErrorCode ReceiveBody(platform::HttpRequest& request, std::ofstream& out, const std::filesystem::path& destination,
                          const DownloadOptions& options, DownloadProgress& progress, platform::Sha256* hash);
    ErrorCode StoreChunk(std::string_view chunk, std::ofstream& out, const std::filesystem::path& destination,
                         const DownloadOptions& options, DownloadProgress& progress, platform::Sha256* hash);
    std::chrono::steady_clock::time_point Now() const;

    std::unique_ptr<platform::HttpSession> session_;
    bool initialized_ = false;
    Tuning tuning_;
    // The body buffer, allocated by the first download and kept until Cleanup,
    // so small downloads do not each allocate and clear a whole buffer.
    std::vector<char> readBuffer_;
};

}  // namespace zuvelo
