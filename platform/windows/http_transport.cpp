#include "platform/http_transport.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <charconv>

#include "platform/utf8.h"
#include "platform/windows/win32_handle.h"
#include "platform/windows/win32_paths.h"

namespace zuvelo::platform {

namespace {

using windows::LastError;

struct InternetCloser {
    void operator()(HINTERNET handle) const { ::WinHttpCloseHandle(handle); }
};
using UniqueInternet = std::unique_ptr<void, InternetCloser>;

// TLS 1.3 is unknown to systems before Windows 11, which then refuse the pair.
constexpr DWORD kTls12And13 = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | 0x2000;
constexpr DWORD kTls12 = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;

// Empty for text that does not convert; the callers' text comes from valid wide text.
std::wstring Wide(const std::string& utf8) { return WideFromUtf8(utf8).value_or(std::wstring()); }

// WinHTTP widens header bytes one by one, so its text always converts.
std::string Narrow(const std::wstring& wide) { return Utf8FromWide(wide); }

bool HasControlCharacter(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    });
}

// The parts of a URL as WinHttpCrackUrl finds them, pointing into the URL.
struct UrlParts {
    INTERNET_SCHEME scheme = 0;
    INTERNET_PORT port = 0;
    std::wstring host;
    std::wstring path;
    std::wstring extraInfo;
};

std::optional<UrlParts> CrackUrl(const std::wstring& url) {
    URL_COMPONENTS components{};
    components.dwStructSize = sizeof components;
    components.dwSchemeLength = static_cast<DWORD>(-1);
    components.dwHostNameLength = static_cast<DWORD>(-1);
    components.dwUrlPathLength = static_cast<DWORD>(-1);
    components.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (url.empty() || !::WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &components))
        return std::nullopt;
    auto part = [](const wchar_t* text, DWORD length) { return text ? std::wstring(text, length) : std::wstring(); };
    return UrlParts{components.nScheme, components.nPort, part(components.lpszHostName, components.dwHostNameLength),
                    part(components.lpszUrlPath, components.dwUrlPathLength),
                    part(components.lpszExtraInfo, components.dwExtraInfoLength)};
}

// The URL as sent: no credentials and no fragment; WinHTTP escapes the object name itself.
std::wstring RequestUrl(const UrlParts& parts, const std::wstring& scheme) {
    std::wstring host = parts.host.find(L':') == std::wstring::npos ? parts.host : L"[" + parts.host + L"]";
    std::wstring query = parts.extraInfo.substr(0, parts.extraInfo.find(L'#'));
    return scheme + L"://" + host + L":" + std::to_wstring(parts.port) + parts.path + query;
}

// Connecting is part of sending for WinHTTP; its failures are reported as connecting.
HttpPhase SendPhase(uint32_t error) {
    return error == winhttp::kNameNotResolved || error == winhttp::kCannotConnect ? HttpPhase::Connect
                                                                                 : HttpPhase::Send;
}

// WinHTTP says no more than its number, which the error event carries.
HttpFailure FailureOf(uint32_t error, HttpPhase phase) { return HttpFailure{error, phase, false, {}}; }

std::optional<uint64_t> ContentLength(HINTERNET request) {
    wchar_t text[32] = {};
    DWORD size = sizeof text;
    if (!::WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                               WINHTTP_NO_HEADER_INDEX))
        return std::nullopt;
    const std::string digits = Narrow(std::wstring(text, size / sizeof(wchar_t)));
    uint64_t value = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return value;
}

std::string RawHeaders(HINTERNET request) {
    constexpr DWORD kRawHead = WINHTTP_QUERY_RAW_HEADERS_CRLF;
    DWORD size = 0;
    ::WinHttpQueryHeaders(request, kRawHead, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &size,
                          WINHTTP_NO_HEADER_INDEX);
    if (size == 0) return {};
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    if (!::WinHttpQueryHeaders(request, kRawHead, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &size,
                               WINHTTP_NO_HEADER_INDEX))
        return {};
    text.resize(size / sizeof(wchar_t));
    return Narrow(text);
}

void SetDwordOption(HINTERNET handle, DWORD option, DWORD value) {
    ::WinHttpSetOption(handle, option, &value, sizeof value);
}

}  // namespace

std::optional<HttpUrl> ParseHttpUrl(const std::string& url) {
    // A line break would end the request line early; WinHttpCrackUrl lets it through.
    const std::optional<std::wstring> wide = HasControlCharacter(url) ? std::nullopt : WideFromUtf8(url);
    if (!wide) return std::nullopt;
    const std::optional<UrlParts> parts = CrackUrl(*wide);
    if (!parts || parts->host.empty()) return std::nullopt;
    if (parts->scheme != INTERNET_SCHEME_HTTP && parts->scheme != INTERNET_SCHEME_HTTPS) return std::nullopt;
    const std::wstring scheme = parts->scheme == INTERNET_SCHEME_HTTPS ? L"https" : L"http";
    const std::wstring path = parts->path.empty() ? L"/" : parts->path;
    return HttpUrl{Narrow(scheme), Narrow(parts->host), Narrow(path), Narrow(parts->extraInfo),
                   Narrow(RequestUrl(*parts, scheme))};
}

bool InitializeHttpLibrary() { return true; }

struct HttpSession::Shared {
    HttpSessionSettings settings;
    UniqueInternet session;
};

HttpSession::HttpSession() = default;
HttpSession::~HttpSession() = default;

bool HttpSession::Open(const HttpSessionSettings& settings) {
    auto shared = std::make_unique<Shared>();
    shared->settings = settings;
    shared->session.reset(::WinHttpOpen(Wide(settings.userAgent).c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                        WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!shared->session) return false;
    HINTERNET session = shared->session.get();
    // Name resolution has no limit of its own; the stall limit stands for send and receive.
    ::WinHttpSetTimeouts(session, 0, static_cast<int>(settings.connectTimeout.count()),
                         static_cast<int>(settings.stallLimit.count()), static_cast<int>(settings.stallLimit.count()));
    DWORD protocols = kTls12And13;
    if (!::WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols))
        SetDwordOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, kTls12);
    shared_ = std::move(shared);
    return true;
}

// The request goes before its connection. WinHTTP puts the socket back into the
// session's pool only after a complete response; closing the request earlier closes it.
struct HttpRequest::Transfer {
    UniqueInternet connection;
    UniqueInternet request;
    std::string head;
    std::optional<uint64_t> announced;  // Content-Length of the final response
    uint64_t received = 0;
};

HttpRequest::HttpRequest() = default;
HttpRequest::~HttpRequest() = default;

bool HttpRequest::Open(HttpSession& session, const HttpUrl& url) {
    if (!session.shared_) return false;
    const std::optional<UrlParts> parts = CrackUrl(Wide(url.requestUrl));
    if (!parts) return false;
    auto transfer = std::make_unique<Transfer>();
    transfer->connection.reset(::WinHttpConnect(session.shared_->session.get(), parts->host.c_str(), parts->port, 0));
    if (!transfer->connection) return false;
    const DWORD secure = parts->scheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
    const std::wstring object = parts->path + parts->extraInfo;
    transfer->request.reset(::WinHttpOpenRequest(transfer->connection.get(), L"GET", object.c_str(), nullptr,
                                                 WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, secure));
    if (!transfer->request) return false;
    HINTERNET request = transfer->request.get();
    SetDwordOption(request, WINHTTP_OPTION_REDIRECT_POLICY, WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP);
    SetDwordOption(request, WINHTTP_OPTION_MAX_HTTP_AUTOMATIC_REDIRECTS,
                   static_cast<DWORD>(session.shared_->settings.maxRedirects));
    SetDwordOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT,
                   static_cast<DWORD>(session.shared_->settings.stallLimit.count()));
    transfer_ = std::move(transfer);
    url_ = url;
    return true;
}

void HttpRequest::AddHeader(const std::string& name, const std::string& value) {
    const std::wstring line = Wide(name + ": " + value);
    ::WinHttpAddRequestHeaders(transfer_->request.get(), line.c_str(), static_cast<DWORD>(line.size()),
                               WINHTTP_ADDREQ_FLAG_ADD);
}

std::optional<HttpFailure> HttpRequest::ReceiveHead() {
    Transfer& t = *transfer_;
    HINTERNET request = t.request.get();
    if (!::WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
        const uint32_t error = LastError();
        return FailureOf(error, SendPhase(error));
    }
    if (!::WinHttpReceiveResponse(request, nullptr)) return FailureOf(LastError(), HttpPhase::ReceiveHead);
    t.head = RawHeaders(request);
    t.announced = ContentLength(request);
    return std::nullopt;
}

long HttpRequest::StatusCode() const {
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!::WinHttpQueryHeaders(transfer_->request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
        return 0;
    return static_cast<long>(status);
}

const std::string& HttpRequest::RawHead() const { return transfer_->head; }

HttpReadResult HttpRequest::ReadBody(char* buffer, size_t size) {
    Transfer& t = *transfer_;
    DWORD available = 0;
    if (!::WinHttpQueryDataAvailable(t.request.get(), &available))
        return HttpReadResult{0, FailureOf(LastError(), HttpPhase::ReceiveBody)};
    DWORD read = 0;
    const DWORD want = static_cast<DWORD>(std::min<uint64_t>({available, size, MAXDWORD}));
    if (want > 0 && !::WinHttpReadData(t.request.get(), buffer, want, &read))
        return HttpReadResult{0, FailureOf(LastError(), HttpPhase::ReceiveBody)};
    t.received += read;
    // WinHTTP ends the body quietly when the server closes before the announced length.
    if (read == 0 && t.announced && t.received < *t.announced) {
        HttpFailure failure = FailureOf(winhttp::kConnectionAborted, HttpPhase::ReceiveBody);
        failure.truncated = true;
        return HttpReadResult{0, failure};
    }
    return HttpReadResult{read, std::nullopt};
}

}  // namespace zuvelo::platform
