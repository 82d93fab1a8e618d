#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// WinHTTP (on Linux libcurl standing in for it): a session that keeps connections
// between requests, and one GET per request, read the way the downloader reads
// WinHTTP (the response head first, then the body in pieces). Failures carry the
// WinHTTP number that the downloader maps to a result.
namespace zuvelo::platform {

namespace winhttp {
inline constexpr uint32_t kTimeout = 12002;
inline constexpr uint32_t kNameNotResolved = 12007;
inline constexpr uint32_t kCannotConnect = 12029;
inline constexpr uint32_t kConnectionAborted = 12030;
inline constexpr uint32_t kConnectionReset = 12031;
inline constexpr uint32_t kSecureFailure = 12175;
}  // namespace winhttp

// An absolute http or https URL split by the system's parser (libcurl's, WinHttpCrackUrl).
struct HttpUrl {
    std::string scheme;      // lower case: "http" or "https"
    std::string host;
    std::string path;        // as written
    std::string extraInfo;   // "?query#fragment" as written, empty when neither
    std::string requestUrl;  // sent: path and query percent-encoded, no credentials, no fragment
};

// Nothing for text that is not an absolute http or https URL with a host.
std::optional<HttpUrl> ParseHttpUrl(const std::string& url);

// What a WinHTTP session fixes for all its requests.
struct HttpSessionSettings {
    std::string userAgent;
    std::chrono::milliseconds connectTimeout{10000};
    // Longest wait without a byte from the server; there is no overall limit.
    std::chrono::milliseconds stallLimit{30000};
    long maxRedirects = 10;
};

// Process-wide start-up of the HTTP library; false when it cannot start.
bool InitializeHttpLibrary();

// Where a request was when it failed.
enum class HttpPhase { Connect, Send, ReceiveHead, ReceiveBody };

struct HttpFailure {
    uint32_t winHttpError = winhttp::kConnectionAborted;
    HttpPhase phase = HttpPhase::Connect;
    bool truncated = false;  // the connection ended cleanly before the announced length
    std::string detail;      // the HTTP library's own description; empty when it adds nothing
};

struct HttpReadResult {
    size_t bytes = 0;  // 0 without a failure: the body is complete
    std::optional<HttpFailure> failure;
};

// What a WinHTTP session keeps for its life: open connections, TLS sessions,
// resolved names and the loaded trust store. Serves one request at a time.
class HttpSession {
public:
    HttpSession();
    ~HttpSession();
    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;

    // False when the HTTP library cannot start or cannot create its handles.
    bool Open(const HttpSessionSettings& settings);

private:
    friend class HttpRequest;
    struct Shared;
    std::unique_ptr<Shared> shared_;
};

class HttpRequest {
public:
    HttpRequest();
    ~HttpRequest();
    HttpRequest(const HttpRequest&) = delete;
    HttpRequest& operator=(const HttpRequest&) = delete;

    // False when the session is not open or the HTTP library cannot create a handle.
    // The session must outlive the request and serve no other one meanwhile.
    bool Open(HttpSession& session, const HttpUrl& url);
    const HttpUrl& Url() const { return url_; }
    // Sent as given; must be called before ReceiveHead.
    void AddHeader(const std::string& name, const std::string& value);

    // Connects, sends and waits for the head of the final response (redirects are
    // never followed from https to plain http; on Linux only to https). Body bytes
    // stay with the library until read.
    std::optional<HttpFailure> ReceiveHead();
    long StatusCode() const;
    // Status line and header lines of the final response, CRLF as received.
    const std::string& RawHead() const;

    // Fills up to size bytes with what has arrived, waiting only when nothing has.
    // size must be at least 16 KiB, the largest piece libcurl hands over on Linux.
    HttpReadResult ReadBody(char* buffer, size_t size);

private:
    struct Transfer;
    HttpUrl url_;
    std::unique_ptr<Transfer> transfer_;
};

}  // namespace zuvelo::platform
