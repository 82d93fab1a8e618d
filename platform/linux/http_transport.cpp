#include "platform/http_transport.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

namespace zuvelo::platform {

namespace {

using SteadyClock = std::chrono::steady_clock;

struct UrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiDeleter {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct ShareDeleter {
    void operator()(CURLSH* share) const { curl_share_cleanup(share); }
};
struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using UniqueUrl = std::unique_ptr<CURLU, UrlDeleter>;

// Receive buffer per read from the socket; the client's own buffer is larger.
constexpr long kReceiveBufferBytes = 512 * 1024;
// Upper bound of one wait, so the stall limit is checked even when curl sleeps.
constexpr std::chrono::milliseconds kLongestWait{1000};

std::optional<std::string> UrlPart(CURLU* url, CURLUPart part) {
    char* text = nullptr;
    if (curl_url_get(url, part, &text, 0) != CURLUE_OK || !text) return std::nullopt;
    std::string value(text);
    curl_free(text);
    return value;
}

// WinHTTP escapes blanks and non-ASCII bytes of the object name; the parser keeps them raw.
std::string PercentEncodeUnsafe(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c == ' ' || c >= 0x80) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string ExtraInfo(const std::optional<std::string>& query, const std::optional<std::string>& fragment) {
    std::string extra;
    if (query) extra += "?" + *query;
    if (fragment) extra += "#" + *fragment;
    return extra;
}

// Credentials are not used and a fragment is never sent; path and query go out escaped.
std::optional<std::string> RequestUrl(CURLU* url, const std::string& path, const std::optional<std::string>& query) {
    bool ok = curl_url_set(url, CURLUPART_USER, nullptr, 0) == CURLUE_OK &&
              curl_url_set(url, CURLUPART_PASSWORD, nullptr, 0) == CURLUE_OK &&
              curl_url_set(url, CURLUPART_OPTIONS, nullptr, 0) == CURLUE_OK &&
              curl_url_set(url, CURLUPART_FRAGMENT, nullptr, 0) == CURLUE_OK &&
              curl_url_set(url, CURLUPART_PATH, PercentEncodeUnsafe(path).c_str(), 0) == CURLUE_OK;
    if (ok && query) ok = curl_url_set(url, CURLUPART_QUERY, PercentEncodeUnsafe(*query).c_str(), 0) == CURLUE_OK;
    if (!ok) return std::nullopt;
    return UrlPart(url, CURLUPART_URL);
}

bool IsTlsFailure(CURLcode code) {
    switch (code) {
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_SSL_CLIENTCERT:
        case CURLE_USE_SSL_FAILED:
            return true;
        default:
            return false;
    }
}

uint32_t WinHttpErrorOf(CURLcode code) {
    switch (code) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return winhttp::kNameNotResolved;
        case CURLE_COULDNT_CONNECT:
            return winhttp::kCannotConnect;
        case CURLE_OPERATION_TIMEDOUT:
            return winhttp::kTimeout;
        // A broken stream; libcurl's errno is not reliable here (a later close overwrites it).
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
            return winhttp::kConnectionReset;
        default:
            return IsTlsFailure(code) ? winhttp::kSecureFailure : winhttp::kConnectionAborted;
    }
}

// The trust store is the system's unless the environment names another one.
void ApplyTrustStore(CURL* easy) {
    const char* file = std::getenv("SSL_CERT_FILE");
    const char* dir = std::getenv("SSL_CERT_DIR");
    if (file && !*file) file = nullptr;
    if (dir && !*dir) dir = nullptr;
    if (!file && !dir) return;
    curl_easy_setopt(easy, CURLOPT_CAINFO, file);
    curl_easy_setopt(easy, CURLOPT_CAPATH, dir);
}

}  // namespace

std::optional<HttpUrl> ParseHttpUrl(const std::string& url) {
    if (!InitializeHttpLibrary()) return std::nullopt;
    UniqueUrl handle(curl_url());
    if (!handle) return std::nullopt;
    if (curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), CURLU_ALLOW_SPACE | CURLU_PATH_AS_IS) != CURLUE_OK)
        return std::nullopt;
    auto scheme = UrlPart(handle.get(), CURLUPART_SCHEME);
    auto host = UrlPart(handle.get(), CURLUPART_HOST);
    auto path = UrlPart(handle.get(), CURLUPART_PATH);
    if (!scheme || (*scheme != "http" && *scheme != "https") || !host || host->empty() || !path) return std::nullopt;
    auto query = UrlPart(handle.get(), CURLUPART_QUERY);
    auto fragment = UrlPart(handle.get(), CURLUPART_FRAGMENT);
    auto requestUrl = RequestUrl(handle.get(), *path, query);
    if (!requestUrl) return std::nullopt;
    return HttpUrl{*scheme, *host, *path, ExtraInfo(query, fragment), *requestUrl};
}

bool InitializeHttpLibrary() {
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] { started = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
    return started;
}

// The multi handle holds the connection cache, the resolved names and the
// loaded trust store; the share handle holds TLS sessions for new connections.
// The multi handle goes first, while the sessions its connections used still exist.
struct HttpSession::Shared {
    HttpSessionSettings settings;
    std::unique_ptr<CURLSH, ShareDeleter> share;
    std::unique_ptr<CURLM, MultiDeleter> multi;
};

HttpSession::HttpSession() = default;
HttpSession::~HttpSession() = default;

bool HttpSession::Open(const HttpSessionSettings& settings) {
    if (!InitializeHttpLibrary()) return false;
    auto shared = std::make_unique<Shared>();
    shared->settings = settings;
    shared->share.reset(curl_share_init());
    shared->multi.reset(curl_multi_init());
    if (!shared->share || !shared->multi ||
        curl_share_setopt(shared->share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) != CURLSHE_OK)
        return false;
    shared_ = std::move(shared);
    return true;
}

struct HttpRequest::Transfer {
    CURLM* multi = nullptr;  // the session's
    std::unique_ptr<CURL, EasyDeleter> easy;
    std::unique_ptr<curl_slist, SlistDeleter> headers;
    bool attached = false;

    std::chrono::milliseconds stallLimit{30000};
    SteadyClock::time_point lastActivity;
    std::string head;
    bool headComplete = false;
    bool paused = false;
    bool done = false;
    CURLcode result = CURLE_OK;
    char errorText[CURL_ERROR_SIZE] = {};

    // The caller's buffer during ReadBody; null while the head is awaited.
    char* target = nullptr;
    size_t capacity = 0;
    size_t filled = 0;

    // Leaving the multi handle before the response is complete closes the
    // connection, so a half-read or failed one is never handed to the next request.
    ~Transfer() {
        if (attached) curl_multi_remove_handle(multi, easy.get());
    }

    static size_t OnHeader(char* data, size_t size, size_t count, void* self) {
        return static_cast<Transfer*>(self)->TakeHeader(std::string_view(data, size * count));
    }
    static size_t OnBody(char* data, size_t size, size_t count, void* self) {
        return static_cast<Transfer*>(self)->TakeBody(data, size * count);
    }

    size_t TakeHeader(std::string_view line) {
        lastActivity = SteadyClock::now();
        // Each response of a redirect chain starts anew; only the final one counts.
        if (line.starts_with("HTTP/")) head.clear();
        head.append(line);
        return line.size();
    }

    // Body bytes mean the final head is complete. Bytes that do not fit stay
    // with libcurl (paused) and come again once the transfer is resumed.
    size_t TakeBody(const char* data, size_t size) {
        lastActivity = SteadyClock::now();
        headComplete = true;
        if (!target || capacity - filled < size) {
            paused = true;
            return CURL_WRITEFUNC_PAUSE;
        }
        std::memcpy(target + filled, data, size);
        filled += size;
        return size;
    }

    void Configure(const HttpSessionSettings& settings, CURLSH* share, const std::string& url) {
        CURL* h = easy.get();
        curl_easy_setopt(h, CURLOPT_SHARE, share);
        curl_easy_setopt(h, CURLOPT_URL, url.c_str());
        curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(h, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
        curl_easy_setopt(h, CURLOPT_HTTP_CONTENT_DECODING, 0L);
        curl_easy_setopt(h, CURLOPT_USERAGENT, settings.userAgent.c_str());
        curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(settings.connectTimeout.count()));
        curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(h, CURLOPT_MAXREDIRS, settings.maxRedirects);
        curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "https");
        curl_easy_setopt(h, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
        ApplyTrustStore(h);
        curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(h, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
        curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
        curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &Transfer::OnHeader);
        curl_easy_setopt(h, CURLOPT_HEADERDATA, this);
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Transfer::OnBody);
        curl_easy_setopt(h, CURLOPT_WRITEDATA, this);
        stallLimit = settings.stallLimit;
    }

    bool Start() {
        curl_easy_setopt(easy.get(), CURLOPT_HTTPHEADER, headers.get());
        if (curl_multi_add_handle(multi, easy.get()) != CURLM_OK) return false;
        attached = true;
        lastActivity = SteadyClock::now();
        return true;
    }

    void Finish(CURLcode code) {
        done = true;
        result = code;
    }

    // One round of libcurl's work on the socket, without waiting.
    void Perform() {
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK) return Finish(CURLE_RECV_ERROR);
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == easy.get()) Finish(message->data.result);
        }
    }

    // Blocks until the socket has work, or ends the transfer once the server
    // has been silent for longer than the stall limit.
    void Wait() {
        auto silent = std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - lastActivity);
        if (silent >= stallLimit) {
            std::snprintf(errorText, sizeof errorText, "No data for %lld ms", static_cast<long long>(silent.count()));
            return Finish(CURLE_OPERATION_TIMEDOUT);
        }
        auto wait = std::min(stallLimit - silent, kLongestWait);
        curl_multi_poll(multi, nullptr, 0, static_cast<int>(wait.count()), nullptr);
    }

    curl_off_t TimeInfo(CURLINFO info) const {
        curl_off_t value = 0;
        curl_easy_getinfo(easy.get(), info, &value);
        return value;
    }

    HttpPhase FailedPhase() const {
        if (headComplete) return HttpPhase::ReceiveBody;
        // The TLS handshake counts as sending, as WinHTTP reports certificate failures there.
        if (IsTlsFailure(result)) return HttpPhase::Send;
        if (result == CURLE_COULDNT_RESOLVE_HOST || result == CURLE_COULDNT_RESOLVE_PROXY ||
            result == CURLE_COULDNT_CONNECT)
            return HttpPhase::Connect;
        // A reused connection has no connect time of its own, but a request on its way.
        if (TimeInfo(CURLINFO_PRETRANSFER_TIME_T) > 0) return HttpPhase::ReceiveHead;
        return TimeInfo(CURLINFO_CONNECT_TIME_T) > 0 ? HttpPhase::Send : HttpPhase::Connect;
    }

    HttpFailure Failure() const {
        std::string detail = std::string("libcurl: ") + (errorText[0] ? errorText : curl_easy_strerror(result));
        return HttpFailure{WinHttpErrorOf(result), FailedPhase(), result == CURLE_PARTIAL_FILE, detail};
    }
};

HttpRequest::HttpRequest() = default;
HttpRequest::~HttpRequest() = default;

bool HttpRequest::Open(HttpSession& session, const HttpUrl& url) {
    if (!session.shared_) return false;
    auto transfer = std::make_unique<Transfer>();
    transfer->multi = session.shared_->multi.get();
    transfer->easy.reset(curl_easy_init());
    if (!transfer->easy) return false;
    transfer->Configure(session.shared_->settings, session.shared_->share.get(), url.requestUrl);
    transfer_ = std::move(transfer);
    url_ = url;
    return true;
}

void HttpRequest::AddHeader(const std::string& name, const std::string& value) {
    // "Name:" alone would remove one of libcurl's own headers; "Name;" sends it empty.
    std::string line = value.empty() ? name + ";" : name + ": " + value;
    curl_slist* list = curl_slist_append(transfer_->headers.get(), line.c_str());
    if (!list) return;
    transfer_->headers.release();
    transfer_->headers.reset(list);
}

std::optional<HttpFailure> HttpRequest::ReceiveHead() {
    Transfer& t = *transfer_;
    if (!t.attached && !t.Start()) {
        t.Finish(CURLE_OUT_OF_MEMORY);
        return t.Failure();
    }
    while (!t.headComplete && !t.done) {
        t.Perform();
        if (!t.headComplete && !t.done) t.Wait();
    }
    // A failure after the head belongs to the body and is reported by ReadBody.
    if (!t.headComplete && t.result != CURLE_OK) return t.Failure();
    t.headComplete = true;
    return std::nullopt;
}

long HttpRequest::StatusCode() const {
    long status = 0;
    curl_easy_getinfo(transfer_->easy.get(), CURLINFO_RESPONSE_CODE, &status);
    return status;
}

const std::string& HttpRequest::RawHead() const { return transfer_->head; }

HttpReadResult HttpRequest::ReadBody(char* buffer, size_t size) {
    Transfer& t = *transfer_;
    t.target = buffer;
    t.capacity = size;
    t.filled = 0;
    // Time spent by the caller between reads is not the server's silence.
    t.lastActivity = SteadyClock::now();
    if (t.paused) {
        t.paused = false;
        // Hands the held bytes over at once, through TakeBody.
        if (curl_easy_pause(t.easy.get(), CURLPAUSE_CONT) != CURLE_OK) t.Finish(CURLE_RECV_ERROR);
    }
    while (!t.done && !t.paused) {
        size_t before = t.filled;
        t.Perform();
        if (t.done || t.paused || t.filled > before) continue;
        if (t.filled > 0) break;
        t.Wait();
    }
    t.target = nullptr;
    // A held piece larger than the whole buffer could never be handed over.
    if (t.paused && t.filled == 0) t.Finish(CURLE_WRITE_ERROR);
    HttpReadResult read{t.filled, std::nullopt};
    if (read.bytes == 0 && t.done && t.result != CURLE_OK) read.failure = t.Failure();
    return read;
}

}  // namespace zuvelo::platform
