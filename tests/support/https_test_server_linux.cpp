#include "tests/support/https_test_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <list>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>

#include "platform/unique_fd.h"
#include "tests/support/test_certificates.h"
#include "tests/support/test_folders.h"

namespace zuvelo::test {

namespace fs = std::filesystem;
using platform::UniqueFd;

namespace {

constexpr size_t kMaxHeadBytes = 64 * 1024;
constexpr size_t kSendBlockBytes = 256 * 1024;
constexpr size_t kChunkBytes = 64 * 1024;
constexpr int kPollIntervalMs = 50;
constexpr int kLingerMs = 2000;

struct OpenSslFree {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
    void operator()(SSL* ssl) const { SSL_free(ssl); }
    void operator()(BIO* bio) const { BIO_free(bio); }
    void operator()(X509* certificate) const { X509_free(certificate); }
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using UniqueContext = std::unique_ptr<SSL_CTX, OpenSslFree>;
using UniqueSsl = std::unique_ptr<SSL, OpenSslFree>;

void Require(bool ok, const std::string& what) {
    if (!ok) throw std::runtime_error("test server: " + what);
}

std::unique_ptr<BIO, OpenSslFree> MemoryBio(const std::string& pem) {
    return std::unique_ptr<BIO, OpenSslFree>(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
}

UniqueContext MakeServerContext(const TestCertificates& certificates) {
    UniqueContext context(SSL_CTX_new(TLS_server_method()));
    Require(context != nullptr, "SSL_CTX_new");
    SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
    SSL_CTX_set_num_tickets(context.get(), 0);
    auto certBio = MemoryBio(certificates.serverCertificatePem);
    std::unique_ptr<X509, OpenSslFree> certificate(PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr));
    auto keyBio = MemoryBio(certificates.serverKeyPem);
    std::unique_ptr<EVP_PKEY, OpenSslFree> key(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
    Require(certificate && key && SSL_CTX_use_certificate(context.get(), certificate.get()) == 1 &&
                SSL_CTX_use_PrivateKey(context.get(), key.get()) == 1,
            "server certificate");
    return context;
}

// The CA kept in folder; the first server that finds none makes it there.
TestIdentity KeptAuthority(const fs::path& folder) {
    const fs::path certificate = folder / "ca.pem";
    const fs::path key = folder / "ca-key.pem";
    if (fs::exists(key)) return {ReadFile(certificate), ReadFile(key)};
    TestIdentity authority = MakeTestIdentity({"Zuvelo Test CA"});
    WriteFile(certificate, authority.certificatePem);
    WriteFile(key, authority.keyPem);
    return authority;
}

UniqueFd ListenOnLoopback(uint16_t port) {
    UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    Require(listener.valid(), "socket");
    int on = 1;
    ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Require(::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0, "bind");
    Require(::listen(listener.get(), 64) == 0, "listen");
    return listener;
}

uint16_t BoundPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    Require(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0, "getsockname");
    return ntohs(address.sin_port);
}

std::string_view Trim(std::string_view text) {
    auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::optional<uint64_t> Decimal(std::string_view text) {
    uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::string DecodePath(std::string_view target) {
    target = target.substr(0, target.find('?'));
    std::string out;
    for (size_t i = 0; i < target.size(); ++i) {
        int value = 0;
        if (target[i] == '%' && i + 2 < target.size() &&
            std::from_chars(target.data() + i + 1, target.data() + i + 3, value, 16).ptr == target.data() + i + 3) {
            out += static_cast<char>(value);
            i += 2;
        } else {
            out += target[i];
        }
    }
    return out;
}

const char* Reason(int status) {
    switch (status) {
        case 200: return "OK";
        case 206: return "Partial Content";
        case 301: return "Moved Permanently";
        case 302: return "Found";
        case 303: return "See Other";
        case 307: return "Temporary Redirect";
        case 308: return "Permanent Redirect";
        case 404: return "Not Found";
        case 416: return "Range Not Satisfiable";
        case 500: return "Internal Server Error";
        default: return "Status";
    }
}

using HeaderList = std::vector<std::pair<std::string, std::string>>;

std::string HeadText(int status, const HeaderList& headers, bool keepAlive = false) {
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) + "\r\n";
    for (const auto& [name, value] : headers) head += name + ": " + value + "\r\n";
    return head + (keepAlive ? "\r\n" : "Connection: close\r\n\r\n");
}

// One accepted connection, with or without TLS.
class Connection {
public:
    Connection(UniqueFd fd, SSL_CTX* context) : fd_(std::move(fd)) {
        if (context) ssl_.reset(SSL_new(context));
    }

    int fd() const { return fd_.get(); }

    bool Handshake() {
        if (!ssl_) return true;
        return SSL_set_fd(ssl_.get(), fd_.get()) == 1 && SSL_accept(ssl_.get()) == 1;
    }

    // 0 at the end of the stream or on any failure.
    size_t Read(char* data, size_t size) {
        if (ssl_) {
            int got = SSL_read(ssl_.get(), data, static_cast<int>(size));
            return got > 0 ? static_cast<size_t>(got) : 0;
        }
        ssize_t got = ::recv(fd_.get(), data, size, 0);
        return got > 0 ? static_cast<size_t>(got) : 0;
    }

    bool Write(std::string_view data) {
        while (!data.empty()) {
            ssize_t sent = ssl_ ? SSL_write(ssl_.get(), data.data(), static_cast<int>(data.size()))
                                : ::send(fd_.get(), data.data(), data.size(), MSG_NOSIGNAL);
            if (sent <= 0) return false;
            data.remove_prefix(static_cast<size_t>(sent));
        }
        return true;
    }

    // close_notify and FIN, then wait for the client to close so unread data
    // on our side cannot turn the close into a reset.
    void CloseCleanly(const std::atomic<bool>& stopping) {
        if (ssl_) SSL_shutdown(ssl_.get());
        ::shutdown(fd_.get(), SHUT_WR);
        char sink[4096];
        for (int waited = 0; waited < kLingerMs && !stopping; waited += kPollIntervalMs) {
            pollfd poller{fd_.get(), POLLIN, 0};
            if (::poll(&poller, 1, kPollIntervalMs) > 0 && ::recv(fd_.get(), sink, sizeof sink, 0) <= 0) break;
        }
    }

    // Drops TLS without a close; the descriptor, closed by the owner once the
    // connection is off the server's list, then ends it with a TCP reset.
    void Reset() {
        linger abort{1, 0};
        ::setsockopt(fd_.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        ssl_.reset();
    }

private:
    UniqueFd fd_;
    UniqueSsl ssl_;
};

std::optional<ServerRequest> ParseRequestHead(std::string_view head) {
    auto lineEnd = head.find("\r\n");
    std::string_view requestLine = head.substr(0, lineEnd);
    auto firstSpace = requestLine.find(' ');
    auto secondSpace = requestLine.find(' ', firstSpace + 1);
    if (firstSpace == std::string_view::npos || secondSpace == std::string_view::npos) return std::nullopt;
    ServerRequest request;
    request.method = requestLine.substr(0, firstSpace);
    request.target = requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    head.remove_prefix(lineEnd + 2);
    while (!head.empty()) {
        auto end = head.find("\r\n");
        std::string_view line = head.substr(0, end);
        head.remove_prefix(end == std::string_view::npos ? head.size() : end + 2);
        auto colon = line.find(':');
        if (colon != std::string_view::npos)
            request.headers[ServerRequest::NormalName(Trim(line.substr(0, colon)))] = Trim(line.substr(colon + 1));
    }
    return request;
}

std::optional<ServerRequest> ReadRequest(Connection& connection) {
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
        if (head.size() > kMaxHeadBytes) return std::nullopt;
        size_t got = connection.Read(buffer, sizeof buffer);
        if (got == 0) return std::nullopt;
        head.append(buffer, got);
    }
    return ParseRequestHead(std::string_view(head).substr(0, head.find("\r\n\r\n") + 2));
}

struct ByteRange {
    uint64_t first = 0;
    std::optional<uint64_t> last;
};

// "bytes=N-" or "bytes=N-M"; anything else is served as if no range was asked.
std::optional<ByteRange> ParseRange(std::string_view value) {
    constexpr std::string_view kPrefix = "bytes=";
    if (!value.starts_with(kPrefix)) return std::nullopt;
    value.remove_prefix(kPrefix.size());
    auto dash = value.find('-');
    if (dash == std::string_view::npos) return std::nullopt;
    auto first = Decimal(value.substr(0, dash));
    if (!first) return std::nullopt;
    auto lastText = value.substr(dash + 1);
    if (lastText.empty()) return ByteRange{*first, std::nullopt};
    auto last = Decimal(lastText);
    if (!last || *last < *first) return std::nullopt;
    return ByteRange{*first, *last};
}

// The part of a file one answer carries.
struct Slice {
    int status = 200;
    uint64_t first = 0;
    uint64_t count = 0;
};

Slice ChooseSlice(uint64_t size, const std::optional<ByteRange>& range, const ServerFault& fault) {
    if (fault.kind == ServerFaultKind::WrongRangeOffset) {
        uint64_t first = std::min(fault.bytes, size);
        return Slice{206, first, size - first};
    }
    if (!range || fault.kind == ServerFaultKind::IgnoreRange) return Slice{200, 0, size};
    if (range->first >= size) return Slice{416, 0, 0};
    uint64_t last = std::min(range->last.value_or(size - 1), size - 1);
    return Slice{206, range->first, last - range->first + 1};
}

HeaderList SliceHeaders(const Slice& slice, uint64_t size) {
    HeaderList headers{{"Content-Type", "application/octet-stream"}};
    if (slice.status == 206)
        headers.emplace_back("Content-Range", "bytes " + std::to_string(slice.first) + "-" +
                                                  std::to_string(slice.first + slice.count - 1) + "/" +
                                                  std::to_string(size));
    return headers;
}

UniqueFd OpenUnderRoot(const fs::path& root, const std::string& path) {
    fs::path relative = fs::path(path).relative_path();
    for (const auto& part : relative) {
        if (part == "..") return UniqueFd();
    }
    UniqueFd file(::open((root / relative).c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (file.valid() && (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode))) return UniqueFd();
    return file;
}


}  // namespace

struct HttpsTestServer::State {
    struct Worker {
        std::thread thread;
        std::atomic<bool> finished{false};
    };

    fs::path root;
    Options options;
    std::optional<TempFolder> certificateFolder;
    fs::path caFile;
    UniqueContext context;
    UniqueFd listener;
    uint16_t port = 0;
    std::atomic<bool> stopping{false};
    std::atomic<size_t> accepted{0};
    std::thread acceptor;
    std::list<Worker> workers;

    mutable std::mutex mutex;
    std::map<std::string, ServerFault> faults;
    std::vector<ServerRequest> requests;
    std::function<void(const ServerRequest&)> observer;
    std::set<int> openConnections;

    void Start() {
        std::signal(SIGPIPE, SIG_IGN);
        if (options.tls) PrepareTls();
        listener = ListenOnLoopback(options.port);
        port = BoundPort(listener.get());
        acceptor = std::thread([this] { AcceptLoop(); });
    }

    void PrepareTls() {
        if (options.caFolder.empty()) certificateFolder.emplace();
        const fs::path folder = options.caFolder.empty() ? certificateFolder->path() : options.caFolder;
        const TestIdentity authority = KeptAuthority(folder);
        caFile = folder / "ca.pem";
        context = MakeServerContext(MakeTestCertificates(authority));
    }

    void Stop() {
        if (stopping.exchange(true)) return;
        if (acceptor.joinable()) acceptor.join();
        {
            std::lock_guard lock(mutex);
            for (int fd : openConnections) ::shutdown(fd, SHUT_RDWR);
        }
        for (Worker& worker : workers) worker.thread.join();
        workers.clear();
    }

    void AcceptLoop() {
        while (!stopping) {
            pollfd poller{listener.get(), POLLIN, 0};
            if (::poll(&poller, 1, kPollIntervalMs) <= 0) continue;
            UniqueFd fd(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!fd.valid()) continue;
            ++accepted;
            int on = 1;
            ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            ReapWorkers();
            {
                std::lock_guard lock(mutex);
                openConnections.insert(fd.get());
            }
            Worker& worker = workers.emplace_back();
            worker.thread = std::thread([this, &worker, raw = fd.release()] {
                Serve(UniqueFd(raw));
                worker.finished = true;
            });
        }
    }

    void ReapWorkers() {
        for (auto it = workers.begin(); it != workers.end();) {
            if (!it->finished) {
                ++it;
                continue;
            }
            it->thread.join();
            it = workers.erase(it);
        }
    }

    void Serve(UniqueFd fd) {
        int raw = fd.get();
        Connection connection(std::move(fd), context.get());
        if (connection.Handshake()) {
            bool open = true;
            for (size_t served = 0; open && !stopping; ++served) {
                auto request = ReadRequest(connection);
                if (request && served > 0 && options.connections == ConnectionPolicy::ResetOnNextRequest) {
                    connection.Reset();
                    break;
                }
                open = request && Answer(connection, *request);
            }
        }
        // Off the list before the descriptor closes, so Stop never touches a reused number.
        std::lock_guard lock(mutex);
        openConnections.erase(raw);
    }

    ServerFault Record(const ServerRequest& request) {
        std::function<void(const ServerRequest&)> notify;
        ServerFault fault;
        {
            std::lock_guard lock(mutex);
            requests.push_back(request);
            notify = observer;
            auto found = faults.find(DecodePath(request.target));
            if (found != faults.end()) fault = found->second;
        }
        if (notify) notify(request);
        return fault;
    }

    // True when the connection stays open for another request.
    bool Answer(Connection& connection, const ServerRequest& request) {
        ServerFault fault = Record(request);
        switch (fault.kind) {
            case ServerFaultKind::Status:
                SendStatus(connection, fault.status ? fault.status : 500);
                return false;
            case ServerFaultKind::Redirect:
                connection.Write(HeadText(fault.status ? fault.status : 302,
                                          {{"Location", fault.location}, {"Content-Length", "0"}}));
                connection.CloseCleanly(stopping);
                return false;
            case ServerFaultKind::StallHead:
                Stall(connection);
                return false;
            default:
                return ServeFile(connection, request, fault);
        }
    }

    bool KeepsAlive(const ServerFault& fault) const {
        return fault.kind == ServerFaultKind::None && options.connections != ConnectionPolicy::CloseEach;
    }

    // Ends a connection whose answer promised to keep it, when the policy says so.
    bool AfterKeepAliveAnswer(Connection& connection) {
        if (options.connections != ConnectionPolicy::CloseUnannounced) return true;
        connection.CloseCleanly(stopping);
        return false;
    }

    void SendStatus(Connection& connection, int status) {
        std::string body = std::to_string(status) + " " + Reason(status) + "\n";
        connection.Write(HeadText(status, {{"Content-Length", std::to_string(body.size())}}) + body);
        connection.CloseCleanly(stopping);
    }

    bool ServeFile(Connection& connection, const ServerRequest& request, const ServerFault& fault) {
        UniqueFd file = OpenUnderRoot(root, DecodePath(request.target));
        struct stat info {};
        if (!file.valid() || ::fstat(file.get(), &info) != 0) {
            SendStatus(connection, 404);
            return false;
        }
        uint64_t size = static_cast<uint64_t>(info.st_size);
        Slice slice = ChooseSlice(size, ParseRange(request.Header("range")), fault);
        if (slice.status == 416) {
            connection.Write(HeadText(416, {{"Content-Range", "bytes */" + std::to_string(size)}, {"Content-Length", "0"}}));
            connection.CloseCleanly(stopping);
            return false;
        }
        if (fault.kind == ServerFaultKind::Chunked) {
            SendChunked(connection, file.get(), slice, size);
            return false;
        }
        if (KeepsAlive(fault)) return SendKeepingAlive(connection, file.get(), slice, size);
        SendWithLength(connection, file.get(), slice, size, fault);
        return false;
    }

    bool SendKeepingAlive(Connection& connection, int file, const Slice& slice, uint64_t size) {
        HeaderList headers = SliceHeaders(slice, size);
        headers.emplace_back("Content-Length", std::to_string(slice.count));
        if (!connection.Write(HeadText(slice.status, headers, true)) ||
            !SendFileBytes(connection, file, slice.first, slice.count))
            return false;
        return AfterKeepAliveAnswer(connection);
    }

    void SendWithLength(Connection& connection, int file, const Slice& slice, uint64_t size, const ServerFault& fault) {
        uint64_t sent = slice.count;
        if (fault.kind == ServerFaultKind::MissingBytes) sent -= std::min(fault.bytes, sent);
        if (fault.kind == ServerFaultKind::DropAfter || fault.kind == ServerFaultKind::StallBody)
            sent = std::min(fault.bytes, sent);
        HeaderList headers = SliceHeaders(slice, size);
        headers.emplace_back("Content-Length", std::to_string(slice.count));
        if (!connection.Write(HeadText(slice.status, headers))) return;
        if (!SendFileBytes(connection, file, slice.first, sent)) return;
        if (fault.kind == ServerFaultKind::ExtraBytes && !connection.Write(std::string(fault.bytes, 'X'))) return;
        if (fault.kind == ServerFaultKind::DropAfter) return connection.Reset();
        if (fault.kind == ServerFaultKind::StallBody) return Stall(connection);
        connection.CloseCleanly(stopping);
    }

    void SendChunked(Connection& connection, int file, const Slice& slice, uint64_t size) {
        HeaderList headers = SliceHeaders(slice, size);
        headers.emplace_back("Transfer-Encoding", "chunked");
        if (!connection.Write(HeadText(slice.status, headers))) return;
        std::vector<char> buffer(kChunkBytes);
        for (uint64_t done = 0; done < slice.count && !stopping;) {
            size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), slice.count - done));
            ssize_t got = ::pread(file, buffer.data(), want, static_cast<off_t>(slice.first + done));
            if (got <= 0) return;
            char length[32];
            int digits = std::snprintf(length, sizeof length, "%zx\r\n", static_cast<size_t>(got));
            if (!connection.Write(std::string_view(length, static_cast<size_t>(digits))) ||
                !connection.Write(std::string_view(buffer.data(), static_cast<size_t>(got))) || !connection.Write("\r\n"))
                return;
            done += static_cast<uint64_t>(got);
        }
        if (connection.Write("0\r\n\r\n")) connection.CloseCleanly(stopping);
    }

    bool SendFileBytes(Connection& connection, int file, uint64_t first, uint64_t count) {
        std::vector<char> buffer(kSendBlockBytes);
        while (count > 0 && !stopping) {
            size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), count));
            ssize_t got = ::pread(file, buffer.data(), want, static_cast<off_t>(first));
            if (got <= 0) return false;
            if (!connection.Write(std::string_view(buffer.data(), static_cast<size_t>(got)))) return false;
            first += static_cast<uint64_t>(got);
            count -= static_cast<uint64_t>(got);
        }
        return count == 0;
    }

    // Sends nothing until the client goes away or the server stops.
    void Stall(Connection& connection) {
        while (!stopping) {
            pollfd poller{connection.fd(), POLLIN | POLLRDHUP, 0};
            if (::poll(&poller, 1, kPollIntervalMs) > 0) return;
        }
    }
};

HttpsTestServer::HttpsTestServer(fs::path root) : HttpsTestServer(std::move(root), Options{}) {}

HttpsTestServer::HttpsTestServer(fs::path root, Options options) : state_(std::make_unique<State>()) {
    state_->root = std::move(root);
    state_->options = options;
    state_->Start();
}

HttpsTestServer::~HttpsTestServer() { Stop(); }

void HttpsTestServer::Stop() { state_->Stop(); }

uint16_t HttpsTestServer::Port() const { return state_->port; }

std::string HttpsTestServer::Url(std::string_view target) const {
    return std::string(state_->options.tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(state_->port) +
           std::string(target);
}

const fs::path& HttpsTestServer::CaFile() const { return state_->caFile; }

void HttpsTestServer::SetFault(const std::string& path, ServerFault fault) {
    std::lock_guard lock(state_->mutex);
    state_->faults[path] = std::move(fault);
}

void HttpsTestServer::ClearFaults() {
    std::lock_guard lock(state_->mutex);
    state_->faults.clear();
}

size_t HttpsTestServer::ConnectionsAccepted() const { return state_->accepted; }

std::vector<ServerRequest> HttpsTestServer::Requests() const {
    std::lock_guard lock(state_->mutex);
    return state_->requests;
}

void HttpsTestServer::ClearRequests() {
    std::lock_guard lock(state_->mutex);
    state_->requests.clear();
}

void HttpsTestServer::SetRequestObserver(std::function<void(const ServerRequest&)> observer) {
    std::lock_guard lock(state_->mutex);
    state_->observer = std::move(observer);
}

}  // namespace zuvelo::test
