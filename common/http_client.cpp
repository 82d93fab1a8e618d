#include "common/http_client.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "common/jsonl_logger.h"
#include "common/text.h"
#include "platform/http_transport.h"
#include "platform/sha256.h"

namespace zuvelo {

namespace fs = std::filesystem;
using TimePoint = std::chrono::steady_clock::time_point;

namespace {

constexpr char kUserAgent[] = "ZuveloElevated/1.0";
constexpr std::chrono::milliseconds kConnectTimeout{10000};
constexpr long kMaxRedirects = 10;
constexpr size_t kReadBufferBytes = 1048576;
// Larger writes make the kernel look for large page-cache folios, whose
// allocation time varies wildly; pieces of this size are steady and as fast.
constexpr size_t kFileWriteBytes = 256 * 1024;
constexpr std::chrono::nanoseconds kProgressEventSpacing{2000000000};

// WinHttpCrackUrl buffers: a component must fit with its terminating NUL.
constexpr size_t kSchemeLimit = 16;
constexpr size_t kHostLimit = 256;
constexpr size_t kPathLimit = 1024;
constexpr size_t kExtraInfoLimit = 1024;

JsonlLogger& Log() { return JsonlLogger::Instance(); }

// One process-wide time point of the last progress event, shared by all downloads.
class ProgressEventSpacing {
public:
    // Starts the interval when first asked; true once 2 seconds have passed since the last event.
    static bool Due(TimePoint now) {
        std::lock_guard lock(Mutex());
        auto& last = Last();
        if (!last) last = now;
        if (now - *last < kProgressEventSpacing) return false;
        last = now;
        return true;
    }
    static void Reset() {
        std::lock_guard lock(Mutex());
        Last().reset();
    }

private:
    static std::mutex& Mutex() {
        static std::mutex mutex;
        return mutex;
    }
    static std::optional<TimePoint>& Last() {
        static std::optional<TimePoint> last;
        return last;
    }
};

size_t CharacterCount(std::string_view utf8) {
    return static_cast<size_t>(std::count_if(utf8.begin(), utf8.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

bool FitsWinHttpLimits(const platform::HttpUrl& url) {
    return CharacterCount(url.scheme) < kSchemeLimit && CharacterCount(url.host) < kHostLimit &&
           CharacterCount(url.path) < kPathLimit && CharacterCount(url.extraInfo) < kExtraInfoLimit;
}

// A name or value that would end the header line early is not sent.
bool IsSendableHeader(const std::string& name, const std::string& value) {
    auto breaksLine = [](const std::string& text) { return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos; };
    return !name.empty() && name.find(':') == std::string::npos && !breaksLine(name) && !breaksLine(value);
}

std::string_view Trim(std::string_view text) {
    constexpr std::string_view kBlank = " \t\r\n";
    auto first = text.find_first_not_of(kBlank);
    if (first == std::string_view::npos) return {};
    auto last = text.find_last_not_of(kBlank);
    return text.substr(first, last - first + 1);
}

std::optional<uint64_t> ParseDecimal(std::string_view text) {
    uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

uint64_t SaturatingAdd(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

std::string RangeValue(uint64_t offset) { return "bytes=" + std::to_string(offset) + "-"; }

// A 206 answer must continue exactly where the file ends.
bool ContentRangeStartsAt(const HttpHeaders& headers, uint64_t offset) {
    auto found = headers.find("Content-Range");
    if (found == headers.end()) return false;
    std::string_view value = found->second;
    constexpr std::string_view kUnit = "bytes ";
    if (value.size() < kUnit.size() || !HeaderNameLess::Equal(value.substr(0, kUnit.size()), kUnit)) return false;
    value.remove_prefix(kUnit.size());
    auto dash = value.find('-');
    if (dash == std::string_view::npos) return false;
    return ParseDecimal(Trim(value.substr(0, dash))) == offset;
}

// Size of an existing destination to resume from; 0 for a fresh download.
uint64_t ResumeOffset(const fs::path& destination, bool resume) {
    if (!resume) return 0;
    std::error_code ec;
    bool exists = fs::exists(destination, ec);
    if (ec) throw fs::filesystem_error("exists", destination, ec);
    if (!exists) return 0;
    uint64_t size = fs::file_size(destination, ec);
    if (ec) return 0;
    Log().LogDiagnostic(LogLevel::Debug, "Found existing file, size: " + std::to_string(size));
    return size;
}

ErrorCode Fail(ErrorCode code, const std::string& details) {
    Log().LogError(code, "download", details);
    return code;
}

ErrorCode OpenDestination(const fs::path& destination, uint64_t offset, std::ofstream& out) {
    fs::path parent = destination.parent_path();
    if (!parent.empty()) {
        std::error_code ec;
        fs::create_directories(parent, ec);
        if (ec) return Fail(ErrorCode::DirectoryCreateFailed, "Failed to create directory: " + ec.message());
    }
    out.open(destination, std::ios::binary | (offset > 0 ? std::ios::app : std::ios::trunc));
    if (!out.is_open()) return Fail(ErrorCode::FileAccessDenied, "Cannot open output file: " + ToUtf8Lossy(destination));
    return ErrorCode::Success;
}

bool WriteInPieces(std::ofstream& out, std::string_view bytes) {
    for (size_t done = 0; done < bytes.size() && out; done += kFileWriteBytes) {
        size_t piece = std::min(kFileWriteBytes, bytes.size() - done);
        out.write(bytes.data() + done, static_cast<std::streamsize>(piece));
    }
    return static_cast<bool>(out);
}

ErrorCode RefuseOversized(const DownloadOptions& options, uint64_t size) {
    if (options.tooLarge) *options.tooLarge = true;
    return Fail(ErrorCode::DownloadFailed, "File too large: " + std::to_string(size) + " bytes");
}

// The file would pass the cap: it is of no use to a later attempt either.
ErrorCode DiscardOversizedFile(std::ofstream& out, const fs::path& destination, const DownloadOptions& options,
                               uint64_t size) {
    out.close();
    std::error_code ec;
    fs::remove(destination, ec);
    return RefuseOversized(options, size);
}

// The partial file stays for a later attempt with resume set.
ErrorCode ReportShortBody(const DownloadProgress& progress) {
    std::string details = "Connection closed after " + std::to_string(progress.bytesDownloaded) + " bytes";
    if (progress.totalBytes > 0) details += " of " + std::to_string(progress.totalBytes);
    return Fail(ErrorCode::DownloadInterrupted, details);
}

DownloadProgress StartProgress(uint64_t offset, uint64_t total, TimePoint now) {
    DownloadProgress progress;
    progress.bytesDownloaded = offset;
    progress.totalBytes = total;
    progress.startTime = now;
    progress.currentTime = now;
    return progress;
}

void AdvanceProgress(DownloadProgress& progress, uint64_t bytes, TimePoint now) {
    progress.bytesDownloaded += bytes;
    if (progress.totalBytes > 0) {
        double percent = static_cast<double>(progress.bytesDownloaded) / static_cast<double>(progress.totalBytes) * 100.0;
        progress.percent = std::clamp(percent, 0.0, 100.0);
    }
    progress.currentTime = now;
    auto elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(now - progress.startTime).count();
    if (elapsedMs >= 1) progress.bytesPerSecond = static_cast<double>(progress.bytesDownloaded) / (elapsedMs / 1000.0);
    if (progress.bytesPerSecond > 0 && progress.totalBytes > progress.bytesDownloaded) {
        double remaining = static_cast<double>(progress.totalBytes - progress.bytesDownloaded);
        progress.remainingMs = static_cast<int64_t>(remaining / progress.bytesPerSecond * 1000.0);
    }
}

void LogTransportDetail(const platform::HttpFailure& failure) {
    if (!failure.detail.empty()) Log().LogDiagnostic(LogLevel::Debug, failure.detail);
}

// Status and size are settled before the destination is touched.
ErrorCode CheckResponseHead(const HttpHeaders& headers, uint64_t offset, uint64_t total,
                            const DownloadOptions& options) {
    if (offset > 0 && !ContentRangeStartsAt(headers, offset)) {
        auto range = headers.find("Content-Range");
        return Fail(ErrorCode::HttpError, "Unexpected Content-Range: " + (range == headers.end() ? "" : range->second));
    }
    if (total > options.maxBytes) return RefuseOversized(options, total);
    return ErrorCode::Success;
}

// A resumed file keeps its first bytes: they belong in the digest too.
bool HashExistingPrefix(const fs::path& destination, uint64_t length, platform::Sha256& hash) {
    if (length == 0) return true;
    std::ifstream in(destination, std::ios::binary);
    if (!in.is_open()) return false;
    std::vector<char> buffer(static_cast<size_t>(std::min<uint64_t>(length, kReadBufferBytes)));
    while (length > 0) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(length, buffer.size()));
        in.read(buffer.data(), static_cast<std::streamsize>(want));
        if (static_cast<size_t>(in.gcount()) != want || !hash.Update(buffer.data(), want)) return false;
        length -= want;
    }
    return true;
}

// Null when no digest is asked for or it cannot be taken; the download goes on either way.
std::unique_ptr<platform::Sha256> StartDigest(const DownloadOptions& options, const fs::path& destination, uint64_t offset) {
    if (!options.sha256) return nullptr;
    auto hash = std::make_unique<platform::Sha256>();
    if (!hash->Ok() || !HashExistingPrefix(destination, offset, *hash)) return nullptr;
    return hash;
}

// A failed hashing step leaves the digest empty, and the caller reads the file instead.
void HandOutDigest(platform::Sha256* hash, std::string* out) {
    std::string hex;
    if (hash && out && hash->Finish(hex)) *out = std::move(hex);
}

ErrorCode ReportReadFailure(const platform::HttpFailure& failure, const DownloadProgress& progress) {
    if (failure.truncated) return ReportShortBody(progress);
    LogTransportDetail(failure);
    HttpClient::LogHttpError(L"WinHttpReadData", L"", failure.winHttpError);
    return HttpClient::MapWinHttpError(failure.winHttpError);
}

}  // namespace

bool HeaderNameLess::operator()(std::string_view a, std::string_view b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) < std::tolower(static_cast<unsigned char>(y));
    });
}

bool HeaderNameLess::Equal(std::string_view a, std::string_view b) {
    HeaderNameLess less;
    return !less(a, b) && !less(b, a);
}

HttpClient::HttpClient() : HttpClient(Tuning{}) {}

HttpClient::HttpClient(Tuning tuning) : tuning_(std::move(tuning)) {}

HttpClient::~HttpClient() {
    try {
        Cleanup();
    } catch (...) {
        // A destructor must not throw; the session is already released.
    }
}

HttpClient::HttpClient(HttpClient&& other) noexcept
    : session_(std::move(other.session_)),
      initialized_(std::exchange(other.initialized_, false)),
      tuning_(std::move(other.tuning_)),
      readBuffer_(std::move(other.readBuffer_)) {}

HttpClient& HttpClient::operator=(HttpClient&& other) noexcept {
    if (this != &other) {
        try {
            Cleanup();
        } catch (...) {
        }
        session_ = std::move(other.session_);
        initialized_ = std::exchange(other.initialized_, false);
        tuning_ = std::move(other.tuning_);
        readBuffer_ = std::move(other.readBuffer_);
    }
    return *this;
}

TimePoint HttpClient::Now() const { return tuning_.clock ? tuning_.clock() : std::chrono::steady_clock::now(); }

void HttpClient::ResetProgressSpacingForTesting() { ProgressEventSpacing::Reset(); }

ErrorCode HttpClient::MapWinHttpError(uint32_t win32Error) noexcept {
    switch (win32Error) {
        case platform::winhttp::kTimeout: return ErrorCode::TimedOut;
        case platform::winhttp::kNameNotResolved: return ErrorCode::DnsResolutionFailed;
        case platform::winhttp::kCannotConnect: return ErrorCode::NetworkUnreachable;
        case platform::winhttp::kConnectionReset: return ErrorCode::ConnectionTimeout;
        case platform::winhttp::kSecureFailure: return ErrorCode::TlsError;
        default: return ErrorCode::DownloadFailed;
    }
}

void HttpClient::LogHttpError(const std::wstring& operation, const std::wstring& url, uint32_t win32Error) noexcept {
    try {
        std::wstring message = L"HTTP operation failed: " + operation;
        if (!url.empty()) message += L" (URL: " + url + L")";
        message += L" Error: " + std::to_wstring(win32Error) + L" - " + FormatWin32Error(win32Error);
        Log().LogError(MapWinHttpError(win32Error), "http_client", WideToUtf8Lossy(message));
    } catch (...) {
        // Reporting a failure must never become one.
    }
}

ErrorCode HttpClient::Initialize() {
    if (initialized_) return ErrorCode::Success;
    auto session = std::make_unique<platform::HttpSession>();
    if (!session->Open(platform::HttpSessionSettings{kUserAgent, kConnectTimeout, tuning_.stallLimit, kMaxRedirects})) {
        LogHttpError(L"WinHttpOpen", L"", platform::winhttp::kConnectionAborted);
        return MapWinHttpError(platform::winhttp::kConnectionAborted);
    }
    session_ = std::move(session);
    initialized_ = true;
    Log().LogStatus("http_client", "initialized");
    return ErrorCode::Success;
}

void HttpClient::Cleanup() {
    if (!initialized_) return;
    session_.reset();
    std::vector<char>().swap(readBuffer_);
    initialized_ = false;
    Log().LogStatus("http_client", "cleaned_up");
}

ErrorCode HttpClient::DownloadFile(const std::wstring& url, const fs::path& destination, const DownloadOptions& options) {
    if (!initialized_) {
        if (ErrorCode rc = Initialize(); rc != ErrorCode::Success) return rc;
    }
    if (options.sha256) options.sha256->clear();
    Log().LogStatus("download", "starting");
    Log().LogDiagnostic(LogLevel::Debug, "Downloading: " + WideToUtf8(url) + " -> " + ToUtf8Lossy(destination));
    uint64_t offset = ResumeOffset(destination, options.resume);

    platform::HttpRequest request;
    if (ErrorCode rc = OpenRequest(url, request, options); rc != ErrorCode::Success) return rc;
    if (offset > 0) {
        request.AddHeader("Range", RangeValue(offset));
        Log().LogDiagnostic(LogLevel::Debug, "Added Range header: " + RangeValue(offset));
    }
    if (ErrorCode rc = SendAndReceive(request); rc != ErrorCode::Success) return rc;
    if (ErrorCode rc = CheckStatus(request.StatusCode(), offset); rc != ErrorCode::Success) return rc;
    return ReceiveToFile(request, destination, options, offset);
}

ErrorCode HttpClient::OpenRequest(const std::wstring& url, platform::HttpRequest& request, const DownloadOptions& options) {
    auto parsed = platform::ParseHttpUrl(WideToUtf8(url));
    if (!parsed || !FitsWinHttpLimits(*parsed)) {
        Log().LogError(ErrorCode::InvalidArguments, "url_parse", "Invalid URL format");
        return ErrorCode::InvalidArguments;
    }
    if (!request.Open(*session_, *parsed)) {
        LogHttpError(L"WinHttpOpenRequest", url, platform::winhttp::kConnectionAborted);
        return MapWinHttpError(platform::winhttp::kConnectionAborted);
    }
    for (const auto& [name, value] : options.headers) {
        std::string narrowName = WideToUtf8(name);
        std::string narrowValue = WideToUtf8(value);
        if (IsSendableHeader(narrowName, narrowValue)) request.AddHeader(narrowName, narrowValue);
    }
    return ErrorCode::Success;
}

ErrorCode HttpClient::SendAndReceive(platform::HttpRequest& request) {
    auto failure = request.ReceiveHead();
    if (!failure) return ErrorCode::Success;
    LogTransportDetail(*failure);
    switch (failure->phase) {
        case platform::HttpPhase::Connect:
            LogHttpError(L"WinHttpConnect", Utf8ToWide(request.Url().host), failure->winHttpError);
            break;
        case platform::HttpPhase::Send:
            LogHttpError(L"WinHttpSendRequest", L"", failure->winHttpError);
            break;
        default:
            LogHttpError(L"WinHttpReceiveResponse", L"", failure->winHttpError);
            break;
    }
    return MapWinHttpError(failure->winHttpError);
}

ErrorCode HttpClient::CheckStatus(long status, uint64_t& offset) {
    if (offset > 0 && status == 206) {
        Log().LogStatus("download", "resuming");
        return ErrorCode::Success;
    }
    if (status == 200) {
        offset = 0;
        Log().LogStatus("download", "starting_fresh");
        return ErrorCode::Success;
    }
    return Fail(ErrorCode::HttpError, "Unexpected HTTP status: " + std::to_string(status));
}

HttpHeaders HttpClient::ParseResponseHeaders(std::string_view rawHead) {
    HttpHeaders headers;
    bool statusLine = true;
    while (!rawHead.empty()) {
        auto end = rawHead.find('\n');
        std::string_view line = rawHead.substr(0, end);
        rawHead.remove_prefix(end == std::string_view::npos ? rawHead.size() : end + 1);
        if (std::exchange(statusLine, false)) continue;
        auto colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        headers[std::string(Trim(line.substr(0, colon)))] = std::string(Trim(line.substr(colon + 1)));
    }
    return headers;
}

uint64_t HttpClient::GetContentLength(const HttpHeaders& headers) noexcept {
    auto found = headers.find("Content-Length");
    if (found == headers.end()) return 0;
    return ParseDecimal(found->second).value_or(0);
}

ErrorCode HttpClient::ReceiveToFile(platform::HttpRequest& request, const fs::path& destination,
                                    const DownloadOptions& options, uint64_t offset) {
    HttpHeaders headers = ParseResponseHeaders(request.RawHead());
    uint64_t total = SaturatingAdd(GetContentLength(headers), offset);
    if (ErrorCode rc = CheckResponseHead(headers, offset, total, options); rc != ErrorCode::Success) return rc;
    std::ofstream out;
    if (ErrorCode rc = OpenDestination(destination, offset, out); rc != ErrorCode::Success) return rc;
    const std::unique_ptr<platform::Sha256> hash = StartDigest(options, destination, offset);
    DownloadProgress progress = StartProgress(offset, total, Now());
    if (ErrorCode rc = ReceiveBody(request, out, destination, options, progress, hash.get()); rc != ErrorCode::Success)
        return rc;
    // Bytes still buffered in the stream are part of the result: a failed close is a failed write.
    out.close();
    if (!out) return Fail(ErrorCode::FileCopyFailed, "File write failed");
    HandOutDigest(hash.get(), options.sha256);
    Log().LogCompletion("download");
    Log().LogStatus("download", "completed");
    return ErrorCode::Success;
}

ErrorCode HttpClient::ReceiveBody(platform::HttpRequest& request, std::ofstream& out, const fs::path& destination,
                                  const DownloadOptions& options, DownloadProgress& progress, platform::Sha256* hash) {
    if (readBuffer_.empty()) readBuffer_.resize(kReadBufferBytes);
    for (;;) {
        platform::HttpReadResult read = request.ReadBody(readBuffer_.data(), readBuffer_.size());
        if (read.failure) return ReportReadFailure(*read.failure, progress);
        if (read.bytes == 0) return ErrorCode::Success;
        ErrorCode rc =
            StoreChunk(std::string_view(readBuffer_.data(), read.bytes), out, destination, options, progress, hash);
        if (rc != ErrorCode::Success) return rc;
    }
}

ErrorCode HttpClient::StoreChunk(std::string_view chunk, std::ofstream& out, const fs::path& destination,
                                 const DownloadOptions& options, DownloadProgress& progress, platform::Sha256* hash) {
    uint64_t received = SaturatingAdd(progress.bytesDownloaded, chunk.size());
    if (received > options.maxBytes) return DiscardOversizedFile(out, destination, options, received);
    if (!WriteInPieces(out, chunk)) return Fail(ErrorCode::FileCopyFailed, "File write failed");
    // A failed step is remembered by the hash, whose digest then stays empty.
    if (hash) hash->Update(chunk.data(), chunk.size());
    AdvanceProgress(progress, chunk.size(), Now());
    if (options.progress && !options.progress(progress)) {
        Log().LogStatus("download", "cancelled_by_user");
        return ErrorCode::Cancelled;
    }
    if (ProgressEventSpacing::Due(progress.currentTime))
        Log().LogProgress("download", static_cast<int64_t>(progress.percent));
    return ErrorCode::Success;
}

}  // namespace zuvelo
