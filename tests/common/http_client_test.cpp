#include "common/http_client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <optional>

#include "common/jsonl_logger.h"
#include "common/text.h"
#include "platform/sha256.h"
#include "tests/support/https_test_server.h"
#include "tests/support/log_capture.h"
#include "tests/support/loopback_socket.h"
#include "tests/support/test_folders.h"
#include "tests/support/test_server_process.h"
#include "tests/support/trusted_ca.h"
#include "tests/support/wine.h"

namespace zuvelo {
namespace {

namespace fs = std::filesystem;
using test::HttpsTestServer;
using test::ServerFault;
using test::ServerFaultKind;
using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr size_t kFileSize = 300000;
constexpr size_t kNoFile = SIZE_MAX;

std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    uint32_t state = 2463534242u;
    for (char& c : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        c = static_cast<char>(state);
    }
    return bytes;
}

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

using test::ScopedTrustedCa;

class HttpClientTest : public ::testing::Test {
protected:
    HttpClientTest() : trust_(server_.CaFile()) {
        HttpClient::ResetProgressSpacingForTesting();
        test::WriteFile(content_ / "file.bin", full_);
    }

    ErrorCode Download(HttpClient& client, const std::string& target, const DownloadOptions& options = {}) {
        return client.DownloadFile(Wide(server_.Url(target)), destination_, options);
    }
    ErrorCode Download(const std::string& target, const DownloadOptions& options = {}) {
        return Download(client_, target, options);
    }

    void PrepareDestination(size_t existingBytes) {
        if (existingBytes != kNoFile) test::WriteFile(destination_, full_.substr(0, existingBytes));
    }

    std::vector<Json::Value> Errors() const { return log_.EventsWhere("event_type", "error"); }
    bool HasStatus(const std::string& operation, const std::string& status) const {
        for (const auto& event : log_.EventsWhere("event_type", "status")) {
            if (event["operation"] == operation && event["status"] == status) return true;
        }
        return false;
    }
    size_t ProgressEvents() const { return log_.EventsWhere("event_type", "progress").size(); }

    test::TempFolder content_;
    test::TempFolder work_;
    HttpsTestServer server_{content_.path()};
    ScopedTrustedCa trust_;
    test::LogCapture log_{true};
    std::string full_ = Pattern(kFileSize);
    fs::path destination_ = work_ / "downloads" / "file.bin";
    HttpClient client_;
};

// --- downloads that succeed -------------------------------------------------

struct SuccessCase {
    const char* name;
    ServerFault fault;
    size_t existingBytes;
    bool resume;
    uint64_t maxBytes;
    const char* expectedRange;
    const char* expectedStart;
};

void PrintTo(const SuccessCase& c, std::ostream* out) { *out << c.name; }

class SuccessfulDownload : public HttpClientTest, public ::testing::WithParamInterface<SuccessCase> {};

TEST_P(SuccessfulDownload, LeavesTheWholeFileAndReportsCompletion) {
    const SuccessCase& c = GetParam();
    server_.SetFault("/file.bin", c.fault);
    PrepareDestination(c.existingBytes);
    DownloadOptions options;
    options.resume = c.resume;
    options.maxBytes = c.maxBytes;
    std::string digest;
    options.sha256 = &digest;

    ASSERT_EQ(Download("/file.bin", options), ErrorCode::Success);

    EXPECT_EQ(test::ReadFile(destination_), full_);
    // The digest covers the whole file: a kept prefix as well as the bytes received.
    EXPECT_EQ(digest, platform::Sha256Hex(full_.data(), full_.size()));
    auto requests = server_.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].Header("range"), c.expectedRange);
    EXPECT_TRUE(HasStatus("download", c.expectedStart));
    EXPECT_TRUE(HasStatus("download", "completed"));
    EXPECT_EQ(log_.EventsWhere("event_type", "completion").size(), 1u);
    EXPECT_TRUE(Errors().empty());
}

const uint64_t kDefaultCap = DownloadOptions{}.maxBytes;

constexpr char kWineTimeoutNumber[] = "Wine's WinHTTP reports a time-out as 10060 (WSAETIMEDOUT), not 12002";
constexpr char kWineEndsBodyAtReset[] = "Wine's WinHTTP ends the body quietly when the connection is reset";

INSTANTIATE_TEST_SUITE_P(
    HttpClient, SuccessfulDownload,
    ::testing::Values(
        SuccessCase{"Fresh", {}, kNoFile, true, kDefaultCap, "", "starting_fresh"},
        SuccessCase{"ResumeAppendsTo206", {}, 500, true, kDefaultCap, "bytes=500-", "resuming"},
        SuccessCase{"ResumeAnsweredWith200StartsOver", ServerFault::Of(ServerFaultKind::IgnoreRange), 500, true, kDefaultCap,
                    "bytes=500-", "starting_fresh"},
        SuccessCase{"EmptyDestinationSendsNoRange", {}, 0, true, kDefaultCap, "", "starting_fresh"},
        SuccessCase{"ResumeOffOverwrites", {}, 500, false, kDefaultCap, "", "starting_fresh"},
        SuccessCase{"NoContentLength", ServerFault::Of(ServerFaultKind::Chunked), kNoFile, true, kDefaultCap, "", "starting_fresh"},
        SuccessCase{"ExtraBytesBeyondContentLengthIgnored", ServerFault::Bytes(ServerFaultKind::ExtraBytes, 700), kNoFile, true,
                    kDefaultCap, "", "starting_fresh"},
        SuccessCase{"SizeEqualToCap", {}, kNoFile, true, kFileSize, "", "starting_fresh"},
        SuccessCase{"ResumedSizeEqualToCap", {}, 500, true, kFileSize, "bytes=500-", "resuming"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HttpClientTest, SendsTheFixedUserAgentAndTheCallersHeaders) {
    DownloadOptions options;
    options.userAgent = L"Ignored/9.9";
    options.headers = {{L"X-Zuvelo-Test", L"yes"}, {L"X-Bad", L"a\r\nInjected: 1"}};

    ASSERT_EQ(Download("/file.bin", options), ErrorCode::Success);

    auto request = server_.Requests().at(0);
    EXPECT_EQ(request.Header("user-agent"), "ZuveloElevated/1.0");
    EXPECT_EQ(request.Header("x-zuvelo-test"), "yes");
    EXPECT_EQ(request.Header("injected"), "");
    EXPECT_EQ(request.Header("x-bad"), "");
}

TEST_F(HttpClientTest, ResumeWritesItsDiagnostics) {
    PrepareDestination(500);
    ASSERT_EQ(Download("/file.bin"), ErrorCode::Success);
    EXPECT_TRUE(log_.HasMessage("Found existing file, size: 500"));
    EXPECT_TRUE(log_.HasMessage("Added Range header: bytes=500-"));
}

TEST_F(HttpClientTest, ResponseWithoutContentLengthKeepsPercentAtZero) {
    server_.SetFault("/file.bin", ServerFault::Of(ServerFaultKind::Chunked));
    std::vector<DownloadProgress> seen;
    DownloadOptions options;
    options.progress = [&](DownloadProgress& progress) {
        seen.push_back(progress);
        return true;
    };

    ASSERT_EQ(Download("/file.bin", options), ErrorCode::Success);

    ASSERT_FALSE(seen.empty());
    for (const auto& progress : seen) {
        EXPECT_EQ(progress.totalBytes, 0u);
        EXPECT_EQ(progress.percent, 0.0);
    }
    EXPECT_EQ(seen.back().bytesDownloaded, kFileSize);
}

TEST_F(HttpClientTest, ProgressRecordCountsFromTheResumeOffset) {
    PrepareDestination(1000);
    std::vector<DownloadProgress> seen;
    DownloadOptions options;
    options.progress = [&](DownloadProgress& progress) {
        seen.push_back(progress);
        return true;
    };

    ASSERT_EQ(Download("/file.bin", options), ErrorCode::Success);

    ASSERT_FALSE(seen.empty());
    EXPECT_GT(seen.front().bytesDownloaded, 1000u);
    EXPECT_EQ(seen.front().totalBytes, kFileSize);
    EXPECT_EQ(seen.back().bytesDownloaded, kFileSize);
    EXPECT_EQ(seen.back().percent, 100.0);
}

TEST_F(HttpClientTest, FollowsRedirectsToHttps) {
    server_.SetFault("/old.bin", ServerFault::Redirect(server_.Url("/file.bin"), 301));

    ASSERT_EQ(Download("/old.bin"), ErrorCode::Success);

    EXPECT_EQ(test::ReadFile(destination_), full_);
    ASSERT_EQ(server_.Requests().size(), 2u);
    EXPECT_EQ(server_.Requests()[1].target, "/file.bin");
}

TEST_F(HttpClientTest, PathWithBlanksAndNonAsciiIsPercentEncoded) {
    test::WriteFile(content_ / "a dir" / PathFromUtf8("caf\xc3\xa9.bin"), full_);

    ASSERT_EQ(client_.DownloadFile(Wide(server_.Url("/a dir/caf")) + L"\u00e9.bin", destination_, {}),
              ErrorCode::Success);

    std::string target = server_.Requests().at(0).target;
    std::transform(target.begin(), target.end(), target.begin(), [](unsigned char c) { return std::toupper(c); });
    EXPECT_EQ(target, "/A%20DIR/CAF%C3%A9.BIN");
    EXPECT_EQ(test::ReadFile(destination_), full_);
}

// Only the exact text "https" would set the secure flag; an upper-case scheme
// must not send the request in the clear.
TEST_F(HttpClientTest, SchemeInUpperCaseStillUsesTls) {
    std::string url = server_.Url("/file.bin");
    url.replace(0, 5, "HTTPS");
    ASSERT_EQ(client_.DownloadFile(Wide(url), destination_, {}), ErrorCode::Success);
    EXPECT_EQ(test::ReadFile(destination_), full_);
}

// --- downloads that fail ----------------------------------------------------

enum class FileAfter { Missing, Unchanged, PartialKept };

struct FailureCase {
    const char* name;
    ServerFault fault;
    size_t existingBytes;
    uint64_t maxBytes;
    ErrorCode expected;
    const char* operation;
    const char* detailsPrefix;
    FileAfter fileAfter;
    const char* unlikeUnderWine = nullptr;  // why Wine's WinHTTP answers otherwise
};

void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.name; }

class FailedDownload : public HttpClientTest, public ::testing::WithParamInterface<FailureCase> {
protected:
    FailedDownload() : client_(HttpClient::Tuning{std::chrono::milliseconds(400), {}}) {}
    HttpClient client_;
};

TEST_P(FailedDownload, ReportsOneErrorAndLeavesTheFileAsExpected) {
    const FailureCase& c = GetParam();
    if (c.unlikeUnderWine && test::RunningUnderWine()) GTEST_SKIP() << c.unlikeUnderWine;
    server_.SetFault("/file.bin", c.fault);
    PrepareDestination(c.existingBytes);
    DownloadOptions options;
    options.maxBytes = c.maxBytes;
    std::string digest = "left from an earlier download";
    options.sha256 = &digest;

    EXPECT_EQ(Download(client_, "/file.bin", options), c.expected);
    EXPECT_TRUE(digest.empty());

    auto errors = Errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0]["error_code"].asInt(), ToInt(c.expected));
    EXPECT_EQ(errors[0]["operation"].asString(), c.operation);
    EXPECT_THAT(errors[0]["details"].asString(), StartsWith(c.detailsPrefix));
    EXPECT_TRUE(log_.EventsWhere("event_type", "completion").empty());
    switch (c.fileAfter) {
        case FileAfter::Missing:
            EXPECT_FALSE(fs::exists(destination_));
            break;
        case FileAfter::Unchanged:
            EXPECT_EQ(test::ReadFile(destination_), full_.substr(0, c.existingBytes));
            break;
        case FileAfter::PartialKept: {
            std::string kept = test::ReadFile(destination_);
            EXPECT_LT(kept.size(), full_.size());
            EXPECT_EQ(kept, full_.substr(0, kept.size()));
            break;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    HttpClient, FailedDownload,
    ::testing::Values(
        FailureCase{"NotFound", ServerFault::Status(404), kNoFile, kDefaultCap, ErrorCode::HttpError, "download",
                    "Unexpected HTTP status: 404", FileAfter::Missing},
        FailureCase{"ServerError", ServerFault::Status(500), 500, kDefaultCap, ErrorCode::HttpError, "download",
                    "Unexpected HTTP status: 500", FileAfter::Unchanged},
        FailureCase{"PartialAnswerWithoutRangeRequest", ServerFault::Bytes(ServerFaultKind::WrongRangeOffset, 100), kNoFile,
                    kDefaultCap, ErrorCode::HttpError, "download", "Unexpected HTTP status: 206", FileAfter::Missing},
        FailureCase{"RangeNotSatisfiable", {}, kFileSize, kDefaultCap, ErrorCode::HttpError, "download",
                    "Unexpected HTTP status: 416", FileAfter::Unchanged},
        FailureCase{"ContentRangeFromWrongOffset", ServerFault::Bytes(ServerFaultKind::WrongRangeOffset, 100), 500, kDefaultCap,
                    ErrorCode::HttpError, "download", "Unexpected Content-Range: bytes 100-", FileAfter::Unchanged},
        FailureCase{"AnnouncedSizeOneByteOverCap", {}, kNoFile, kFileSize - 1, ErrorCode::DownloadFailed, "download",
                    "File too large: 300000 bytes", FileAfter::Missing},
        FailureCase{"ResumedSizeOneByteOverCap", {}, 500, kFileSize - 1, ErrorCode::DownloadFailed, "download",
                    "File too large: 300000 bytes", FileAfter::Unchanged},
        FailureCase{"ReceivedBytesPassTheCap", ServerFault::Of(ServerFaultKind::Chunked), kNoFile, 1000, ErrorCode::DownloadFailed,
                    "download", "File too large: ", FileAfter::Missing},
        FailureCase{"BodyShorterThanAnnounced", ServerFault::Bytes(ServerFaultKind::MissingBytes, 1000), kNoFile, kDefaultCap,
                    ErrorCode::DownloadInterrupted, "download", "Connection closed after 299000 bytes of 300000",
                    FileAfter::PartialKept},
        FailureCase{"ConnectionReset", ServerFault::Bytes(ServerFaultKind::DropAfter, 100000), kNoFile, kDefaultCap,
                    ErrorCode::ConnectionTimeout, "http_client", "HTTP operation failed: WinHttpReadData Error: 12031",
                    FileAfter::PartialKept, kWineEndsBodyAtReset},
        FailureCase{"StallInBody", ServerFault::Bytes(ServerFaultKind::StallBody, 1000), kNoFile, kDefaultCap, ErrorCode::TimedOut,
                    "http_client", "HTTP operation failed: WinHttpReadData Error: 12002", FileAfter::PartialKept,
                    kWineTimeoutNumber},
        FailureCase{"StallBeforeHead", ServerFault::Of(ServerFaultKind::StallHead), kNoFile, kDefaultCap, ErrorCode::TimedOut,
                    "http_client", "HTTP operation failed: WinHttpReceiveResponse Error: 12002", FileAfter::Missing,
                    kWineTimeoutNumber},
        FailureCase{"RedirectLoop", ServerFault::Redirect("/file.bin"), kNoFile, kDefaultCap,
                    ErrorCode::DownloadFailed, "http_client", "HTTP operation failed: WinHttpReceiveResponse",
                    FileAfter::Missing}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HttpClientTest, ShortBodyIsCompletedByTheNextResumingAttempt) {
    server_.SetFault("/file.bin", ServerFault::Bytes(ServerFaultKind::MissingBytes, 1000));
    ASSERT_EQ(Download("/file.bin"), ErrorCode::DownloadInterrupted);
    server_.ClearFaults();

    ASSERT_EQ(Download("/file.bin"), ErrorCode::Success);

    EXPECT_EQ(server_.Requests().back().Header("range"), "bytes=299000-");
    EXPECT_EQ(test::ReadFile(destination_), full_);
}

TEST_F(HttpClientTest, RedirectToPlainHttpIsRefused) {
    HttpsTestServer plain(content_.path(), {.tls = false});
    server_.SetFault("/file.bin", ServerFault::Redirect(plain.Url("/file.bin")));

    EXPECT_EQ(Download("/file.bin"), ErrorCode::DownloadFailed);

    EXPECT_TRUE(plain.Requests().empty());
    EXPECT_FALSE(fs::exists(destination_));
}

TEST_F(HttpClientTest, CallbackCancelsAndKeepsThePartialFile) {
    uint64_t written = 0;
    DownloadOptions options;
    options.progress = [&](DownloadProgress& progress) {
        written = progress.bytesDownloaded;
        return false;
    };

    EXPECT_EQ(Download("/file.bin", options), ErrorCode::Cancelled);

    EXPECT_TRUE(HasStatus("download", "cancelled_by_user"));
    EXPECT_TRUE(Errors().empty());
    EXPECT_EQ(test::ReadFile(destination_), full_.substr(0, written));
}

TEST_F(HttpClientTest, ClosedPortFailsInConnect) {
    // Bound but not listening: the port stays ours and refuses connections.
    test::LoopbackSocket holder = test::LoopbackSocket::BindOnly();
    std::wstring url = L"https://127.0.0.1:" + std::to_wstring(holder.Port()) + L"/file.bin";

    EXPECT_EQ(client_.DownloadFile(url, destination_, {}), ErrorCode::NetworkUnreachable);

    auto errors = Errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0]["operation"], "http_client");
    EXPECT_EQ(errors[0]["error_code"], 160);
    EXPECT_THAT(errors[0]["details"].asString(),
                StartsWith("HTTP operation failed: WinHttpConnect (URL: 127.0.0.1) Error: 12029 - "));
}

TEST_F(HttpClientTest, UnresolvableHostFailsInConnect) {
    EXPECT_EQ(client_.DownloadFile(L"https://nowhere.invalid/file.bin", destination_, {}),
              ErrorCode::DnsResolutionFailed);
    ASSERT_EQ(Errors().size(), 1u);
    EXPECT_THAT(Errors()[0]["details"].asString(),
                StartsWith("HTTP operation failed: WinHttpConnect (URL: nowhere.invalid) Error: 12007"));
}

TEST_F(HttpClientTest, ServerSignedByUnknownCaFailsAsTls) {
    test::TempFolder strangersCa;
    HttpsTestServer stranger(content_.path(), {.caFolder = strangersCa.path()});

    const ErrorCode result = client_.DownloadFile(Wide(stranger.Url("/file.bin")), destination_, {});

    EXPECT_TRUE(stranger.Requests().empty());
    EXPECT_FALSE(fs::exists(destination_));
    if (test::RunningUnderWine()) GTEST_SKIP() << "Wine's WinHTTP reports an untrusted certificate as 12157, not 12175";
    EXPECT_EQ(result, ErrorCode::TlsError);
    ASSERT_EQ(Errors().size(), 1u);
    EXPECT_THAT(Errors()[0]["details"].asString(),
                StartsWith("HTTP operation failed: WinHttpSendRequest Error: 12175"));
}

// --- destination problems ---------------------------------------------------

TEST_F(HttpClientTest, ParentFoldersAreCreated) {
    destination_ = work_ / "a" / "b" / "c" / "file.bin";
    ASSERT_EQ(Download("/file.bin"), ErrorCode::Success);
    EXPECT_EQ(test::ReadFile(destination_), full_);
}

TEST_F(HttpClientTest, ParentThatIsAFileFailsDirectoryCreation) {
    test::WriteFile(work_ / "blocker", "x");
    destination_ = work_ / "blocker" / "sub" / "file.bin";

    EXPECT_EQ(Download("/file.bin"), ErrorCode::DirectoryCreateFailed);
    EXPECT_THAT(Errors().at(0)["details"].asString(), StartsWith("Failed to create directory: "));
}

TEST_F(HttpClientTest, DestinationThatIsAFolderCannotBeOpened) {
    fs::create_directories(destination_);
    EXPECT_EQ(Download("/file.bin"), ErrorCode::FileAccessDenied);
    EXPECT_THAT(Errors().at(0)["details"].asString(), StartsWith("Cannot open output file: "));
}

// Bytes still in the stream's buffer fail only when it is closed; that must not count as success.
TEST_F(HttpClientTest, WriteFailureIsReportedEvenWhenOnlyTheCloseFails) {
#ifdef _WIN32
    GTEST_SKIP() << "needs /dev/full, a Linux device whose writes all fail";
#endif
    test::WriteFile(content_ / "small.bin", "tiny");
    fs::create_directories(destination_.parent_path());
    fs::create_symlink("/dev/full", destination_);
    DownloadOptions options;
    options.resume = false;

    EXPECT_EQ(Download("/small.bin", options), ErrorCode::FileCopyFailed);
    EXPECT_EQ(Errors().at(0)["details"], "File write failed");
    EXPECT_TRUE(log_.EventsWhere("event_type", "completion").empty());
}

// --- URLs -------------------------------------------------------------------

class InvalidUrl : public HttpClientTest, public ::testing::WithParamInterface<std::wstring> {};

TEST_P(InvalidUrl, FailsBeforeAnyRequest) {
    EXPECT_EQ(client_.DownloadFile(GetParam(), destination_, {}), ErrorCode::InvalidArguments);

    auto errors = Errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0]["operation"], "url_parse");
    EXPECT_EQ(errors[0]["details"], "Invalid URL format");
    EXPECT_FALSE(fs::exists(destination_));
}

INSTANTIATE_TEST_SUITE_P(HttpClient, InvalidUrl,
                         ::testing::Values(L"", L"not a url", L"ftp://127.0.0.1/file.bin", L"127.0.0.1/file.bin",
                                           L"https://127.0.0.1/" + std::wstring(1023, L'a'),
                                           L"https://" + std::wstring(256, L'h') + L"/file.bin",
                                           L"https://127.0.0.1/file.bin?" + std::wstring(1023, L'q'),
                                           L"https://127.0.0.1/line\nbreak"));

TEST_F(HttpClientTest, LongestAcceptedPathReachesTheServer) {
    std::string path = "/" + std::string(1022, 'a');
    EXPECT_EQ(Download(path), ErrorCode::HttpError);  // 404: not a file
    EXPECT_EQ(server_.Requests().at(0).target, path);
}

// --- progress events --------------------------------------------------------

class ProgressSpacingTest : public HttpClientTest {
protected:
    std::chrono::steady_clock::time_point now_ = std::chrono::steady_clock::now();
    HttpClient client_{HttpClient::Tuning{std::chrono::milliseconds(30000), [this] { return now_; }}};
};

TEST_F(ProgressSpacingTest, ShortDownloadsWriteNoneAndShareTheSpacing) {
    ASSERT_EQ(Download(client_, "/file.bin"), ErrorCode::Success);
    EXPECT_EQ(ProgressEvents(), 0u);

    // The spacing started with the first download, so the second one is due at once.
    now_ += std::chrono::seconds(2);
    fs::remove(destination_);
    ASSERT_EQ(Download(client_, "/file.bin"), ErrorCode::Success);
    EXPECT_EQ(ProgressEvents(), 1u);
}

TEST_F(ProgressSpacingTest, SlowDownloadWritesOneEventPerTwoSeconds) {
    test::WriteFile(content_ / "large.bin", Pattern(8 * 1048576));
    size_t chunks = 0;
    DownloadOptions options;
    options.progress = [&](DownloadProgress&) {
        ++chunks;
        now_ += std::chrono::seconds(1);
        return true;
    };

    ASSERT_EQ(Download(client_, "/large.bin", options), ErrorCode::Success);

    ASSERT_GE(chunks, 8u);
    auto events = log_.EventsWhere("event_type", "progress");
    EXPECT_EQ(events.size(), (chunks - 1) / 2);
    for (const auto& event : events) {
        EXPECT_EQ(event["operation"], "download");
        EXPECT_FALSE(event.isMember("details"));
    }
}

// --- connections ------------------------------------------------------------

struct ReuseCase {
    const char* name;
    test::ConnectionPolicy policy;
    uint64_t firstCap;  // below the file's size: the first answer is left unread
    ErrorCode firstResult;
    size_t connections;
    const char* unlikeUnderWine = nullptr;
};

void PrintTo(const ReuseCase& c, std::ostream* out) { *out << c.name; }

class ConnectionReuse : public HttpClientTest, public ::testing::WithParamInterface<ReuseCase> {};

TEST_P(ConnectionReuse, SecondDownloadSucceedsOverTheExpectedConnections) {
    const ReuseCase& c = GetParam();
    if (c.unlikeUnderWine && test::RunningUnderWine()) GTEST_SKIP() << c.unlikeUnderWine;
    HttpsTestServer server(content_.path(), {.connections = c.policy});
    ScopedTrustedCa trust(server.CaFile());
    DownloadOptions fresh;
    fresh.resume = false;
    DownloadOptions first = fresh;
    first.maxBytes = c.firstCap;

    EXPECT_EQ(client_.DownloadFile(Wide(server.Url("/file.bin")), destination_, first), c.firstResult);
    ASSERT_EQ(client_.DownloadFile(Wide(server.Url("/file.bin")), destination_, fresh), ErrorCode::Success);

    EXPECT_EQ(test::ReadFile(destination_), full_);
    EXPECT_EQ(server.ConnectionsAccepted(), c.connections);
    EXPECT_EQ(Errors().size(), c.firstResult == ErrorCode::Success ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(
    HttpClient, ConnectionReuse,
    ::testing::Values(
        ReuseCase{"KeepAliveServerIsReachedOverOneConnection", test::ConnectionPolicy::KeepAlive, kDefaultCap,
                  ErrorCode::Success, 1},
        ReuseCase{"ConnectionCloseAnnounced", test::ConnectionPolicy::CloseEach, kDefaultCap, ErrorCode::Success, 2},
        ReuseCase{"ServerClosesAfterTheResponse", test::ConnectionPolicy::CloseUnannounced, kDefaultCap,
                  ErrorCode::Success, 2},
        ReuseCase{"ServerResetsWhenTheNextRequestComes", test::ConnectionPolicy::ResetOnNextRequest, kDefaultCap,
                  ErrorCode::Success, 2, "Wine's WinHTTP does not resend a request when a kept connection is reset"},
        ReuseCase{"UnreadAnswerDoesNotReachTheNextRequest", test::ConnectionPolicy::KeepAlive, kFileSize - 1,
                  ErrorCode::DownloadFailed, 2}),
    [](const auto& info) { return std::string(info.param.name); });

// A failure on a reused connection belongs to the response, not to connecting.
TEST_F(HttpClientTest, StallOnAReusedConnectionFailsInReceiveResponse) {
    if (test::RunningUnderWine()) GTEST_SKIP() << kWineTimeoutNumber;
    HttpsTestServer server(content_.path(), {.connections = test::ConnectionPolicy::KeepAlive});
    ScopedTrustedCa trust(server.CaFile());
    server.SetFault("/stalled.bin", ServerFault::Of(ServerFaultKind::StallHead));
    HttpClient client(HttpClient::Tuning{std::chrono::milliseconds(400), {}});
    ASSERT_EQ(client.DownloadFile(Wide(server.Url("/file.bin")), destination_, {}), ErrorCode::Success);

    EXPECT_EQ(client.DownloadFile(Wide(server.Url("/stalled.bin")), work_ / "stalled.bin", {}), ErrorCode::TimedOut);

    EXPECT_EQ(server.ConnectionsAccepted(), 1u);
    ASSERT_EQ(Errors().size(), 1u);
    EXPECT_THAT(Errors()[0]["details"].asString(), StartsWith("HTTP operation failed: WinHttpReceiveResponse Error: 12002"));
}

// --- lifecycle and reporting ------------------------------------------------

TEST_F(HttpClientTest, InitializeOnceAndCleanupOnce) {
    {
        HttpClient client;
        EXPECT_EQ(client.Initialize(), ErrorCode::Success);
        EXPECT_EQ(client.Initialize(), ErrorCode::Success);
        client.Cleanup();
        client.Cleanup();
        EXPECT_FALSE(client.IsInitialized());
    }
    { HttpClient neverUsed; }
    { HttpClient cleanedByDestructor; ASSERT_EQ(Download(cleanedByDestructor, "/file.bin"), ErrorCode::Success); }

    EXPECT_EQ(log_.EventsWhere("status", "initialized").size(), 2u);
    EXPECT_EQ(log_.EventsWhere("status", "cleaned_up").size(), 2u);
}

TEST_F(HttpClientTest, DestructorSwallowsALoggingFailure) {
    auto client = std::make_unique<HttpClient>();
    ASSERT_EQ(client->Initialize(), ErrorCode::Success);
    JsonlLogger::Instance().SetStdoutSinkForTesting([](std::string_view) { throw std::runtime_error("sink"); });
    EXPECT_NO_THROW(client.reset());
}

struct MappingCase {
    uint32_t win32Error;
    ErrorCode expected;
};

TEST_F(HttpClientTest, LogHttpErrorMapsAndFormats) {
    for (const MappingCase& c : {MappingCase{12002, ErrorCode::TimedOut}, {12007, ErrorCode::DnsResolutionFailed},
                                 {12029, ErrorCode::NetworkUnreachable}, {12031, ErrorCode::ConnectionTimeout},
                                 {12175, ErrorCode::TlsError}, {12030, ErrorCode::DownloadFailed},
                                 {5, ErrorCode::DownloadFailed}}) {
        EXPECT_EQ(HttpClient::MapWinHttpError(c.win32Error), c.expected) << c.win32Error;
    }
    HttpClient::LogHttpError(L"WinHttpOpen", L"", 12030);
    HttpClient::LogHttpError(L"WinHttpConnect", L"example.invalid", 12007);

    auto errors = Errors();
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0]["details"], "HTTP operation failed: WinHttpOpen Error: 12030 - " +
                                        WideToUtf8Lossy(FormatWin32Error(12030)));
    EXPECT_EQ(errors[0]["error_code"], 161);
    EXPECT_THAT(errors[1]["details"].asString(),
                StartsWith("HTTP operation failed: WinHttpConnect (URL: example.invalid) Error: 12007 - "));
    EXPECT_EQ(errors[1]["error_code"], 165);
}

#ifdef ZUVELO_TEST_SERVER_PATH
TEST(HttpClientTestServerProgram, ServesAFolderWithFaultsFromAFile) {
    test::TempFolder folder;
    test::WriteFile(folder / "root" / "file.bin", Pattern(5000));
    test::WriteFile(folder / "faults.json",
                    R"({"/gone.bin": {"fault": "status", "status": 404}, "/file.bin": {"fault": "chunked"}})");
    test::TestServerProcess server(ZUVELO_TEST_SERVER_PATH, folder / "root",
                                   {"--faults", test::TestServerProcess::ProgramPath(folder / "faults.json"),
                                    "--request-log", test::TestServerProcess::ProgramPath(folder / "requests.jsonl")});
    ScopedTrustedCa trust(server.CaFile());
    test::LogCapture log;
    HttpClient client;
    uint64_t announced = 1;
    DownloadOptions options;
    options.progress = [&](DownloadProgress& progress) {
        announced = progress.totalBytes;
        return true;
    };

    EXPECT_EQ(client.DownloadFile(Wide(server.Url("/file.bin")), folder / "out.bin", options), ErrorCode::Success);
    EXPECT_EQ(client.DownloadFile(Wide(server.Url("/gone.bin")), folder / "gone.bin", {}), ErrorCode::HttpError);

    EXPECT_EQ(test::ReadFile(folder / "out.bin"), Pattern(5000));
    EXPECT_EQ(announced, 0u);  // chunked: no length
    std::string requests = test::ReadFile(folder / "requests.jsonl");
    EXPECT_THAT(requests, HasSubstr("\"target\":\"/file.bin\""));
    EXPECT_THAT(requests, HasSubstr("\"target\":\"/gone.bin\""));
}
#endif

// --- header parsing ---------------------------------------------------------

TEST(HttpClientHeaders, ParseSkipsTheStatusLineAndLinesWithoutColon) {
    HttpHeaders headers = HttpClient::ParseResponseHeaders(
        "HTTP/1.1 200 OK\r\nContent-Type:  text/plain \r\nno colon here\r\n\r\n"
        "X-Twice: first\r\nx-twice: second\r\nX-Url: https://a/b\r\n\r\n");
    EXPECT_EQ(headers.size(), 3u);
    EXPECT_EQ(headers["content-type"], "text/plain");
    EXPECT_EQ(headers["X-TWICE"], "second");
    EXPECT_EQ(headers["X-Url"], "https://a/b");
    EXPECT_EQ(headers.count("HTTP/1.1 200 OK"), 0u);
}

struct LengthCase {
    const char* head;
    uint64_t expected;
};

TEST(HttpClientHeaders, ContentLengthOnlyWhenAllDigitsAndInRange) {
    for (const LengthCase& c : {LengthCase{"Content-Length: 1234", 1234}, {"content-length: 1234", 1234},
                                {"CONTENT-LENGTH:\t77 ", 77}, {"Content-Length: 12abc", 0}, {"Content-Length: -1", 0},
                                {"Content-Length: +5", 0}, {"Content-Length:", 0},
                                {"Content-Length: 18446744073709551615", UINT64_MAX},
                                {"Content-Length: 18446744073709551616", 0}, {"Content-Type: 5", 0}}) {
        std::string head = std::string("HTTP/1.1 200 OK\r\n") + c.head + "\r\n\r\n";
        EXPECT_EQ(HttpClient::GetContentLength(HttpClient::ParseResponseHeaders(head)), c.expected) << c.head;
    }
}

}  // namespace
}  // namespace zuvelo
