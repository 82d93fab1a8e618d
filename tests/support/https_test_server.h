#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <json/value.h>

namespace zuvelo::test {

enum class ServerFaultKind {
    None,
    Status,            // answer `status` with a short body
    DropAfter,         // send `bytes` of the body, then reset the connection
    StallHead,         // read the request, then send nothing
    StallBody,         // send the head and `bytes` of the body, then nothing
    IgnoreRange,       // always 200 with the whole file
    WrongRangeOffset,  // always 206, starting at `bytes` whatever was asked
    ExtraBytes,        // `bytes` more body bytes than the Content-Length says
    MissingBytes,      // `bytes` fewer body bytes than the Content-Length says, then a clean close
    Chunked,           // no Content-Length, chunked transfer coding
    Redirect,          // `status` (default 302) to `location`
};

// What the server does for one path instead of serving it plainly.
struct ServerFault {
    ServerFaultKind kind = ServerFaultKind::None;
    int status = 0;
    uint64_t bytes = 0;
    std::string location;

    static ServerFault Of(ServerFaultKind kind) { return ServerFault{kind, 0, 0, {}}; }
    static ServerFault Status(int status) { return ServerFault{ServerFaultKind::Status, status, 0, {}}; }
    static ServerFault Bytes(ServerFaultKind kind, uint64_t bytes) { return ServerFault{kind, 0, bytes, {}}; }
    static ServerFault Redirect(std::string location, int status = 302) {
        return ServerFault{ServerFaultKind::Redirect, status, 0, std::move(location)};
    }
};

// One request as received.
struct ServerRequest {
    std::string method;
    std::string target;                         // as sent, still percent-encoded
    std::map<std::string, std::string> headers;  // names in lower case

    // "" when the request did not carry the header.
    std::string Header(std::string_view name) const;
    // A header name as the map keeps it.
    static std::string NormalName(std::string_view name);
};

// What becomes of a connection after a plain answer (one without a fault);
// an answer with a fault always ends its connection as the fault says.
enum class ConnectionPolicy {
    CloseEach,         // "Connection: close", then a clean close
    KeepAlive,         // kept open for the next request
    CloseUnannounced,    // keep-alive promised, then a clean close
    ResetOnNextRequest,  // kept open, but reset when the next request arrives
};

// Serves the files of a folder on 127.0.0.1 at a port chosen by the system,
// over TLS with a CA made at start (trust it with ScopedTrustedCa(CaFile())).
// Honours "Range: bytes=N-" and "bytes=N-M".
// On Linux the server runs inside the test process; on Windows (under Wine) it is
// the Linux build's zuvelo_test_server program, driven over its control connection.
class HttpsTestServer {
public:
    struct Options {
        bool tls = true;    // false: plain http, for redirect targets
        uint16_t port = 0;  // 0: any free port
        ConnectionPolicy connections = ConnectionPolicy::CloseEach;
        // Empty: a CA of its own. Otherwise the CA kept in this folder (ca.pem and
        // ca-key.pem), made there by the first server that finds none.
        std::filesystem::path caFolder{};
    };

    explicit HttpsTestServer(std::filesystem::path root);
    HttpsTestServer(std::filesystem::path root, Options options);
    ~HttpsTestServer();
    HttpsTestServer(const HttpsTestServer&) = delete;
    HttpsTestServer& operator=(const HttpsTestServer&) = delete;

    uint16_t Port() const;
    // "https://127.0.0.1:PORT" + target (or http:// for a plain server).
    std::string Url(std::string_view target) const;
    // The CA certificate in PEM; empty for a plain server.
    const std::filesystem::path& CaFile() const;

    // Keyed by the decoded path without its query, e.g. "/files/a b.bin".
    void SetFault(const std::string& path, ServerFault fault);
    void ClearFaults();

    // Connections accepted since the start.
    size_t ConnectionsAccepted() const;
    std::vector<ServerRequest> Requests() const;
    void ClearRequests();
    // Called on the connection's thread for every request, after it is logged.
    // In-process server only.
    void SetRequestObserver(std::function<void(const ServerRequest&)> observer);

    // Ends all connections, including stalled ones; also done by the destructor.
    void Stop();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// A fault from JSON: {"fault": "status", "status": 404}; "fault" is one of
// "none", "status", "drop_after", "stall_head", "stall_body", "ignore_range",
// "wrong_range_offset", "extra_bytes", "missing_bytes", "chunked", "redirect";
// optional "status", "bytes", "location". Throws std::invalid_argument.
ServerFault ServerFaultFromJson(const Json::Value& value);

// A JSON file whose object maps paths to faults.
std::map<std::string, ServerFault> LoadServerFaults(const std::filesystem::path& file);

Json::Value ServerFaultToJson(const ServerFault& fault);
// {"method": .., "target": .., "headers": {lower-case name: value}}
Json::Value ServerRequestToJson(const ServerRequest& request);
ServerRequest ServerRequestFromJson(const Json::Value& value);

// "close_each", "keep_alive", "close_unannounced" or "reset_on_next_request";
// an unknown name throws std::invalid_argument.
ConnectionPolicy ConnectionPolicyFromName(const std::string& name);
std::string ConnectionPolicyName(ConnectionPolicy policy);

}  // namespace zuvelo::test
