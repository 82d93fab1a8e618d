#include "tests/support/https_test_server.h"

#include <stdexcept>

#include "tests/support/test_server_process.h"

// The test server on Windows: the Linux build's zuvelo_test_server, which Wine runs
// as a Unix program, driven over its control connection.
namespace zuvelo::test {

namespace fs = std::filesystem;

namespace {

fs::path ServerProgram() {
#ifdef ZUVELO_TEST_SERVER_PATH
    return ZUVELO_TEST_SERVER_PATH;
#else
    throw std::runtime_error("no Linux test server: configure this build with -DZUVELO_LINUX_TEST_SERVER=PATH");
#endif
}

std::vector<std::string> ProgramArguments(const HttpsTestServer::Options& options) {
    std::vector<std::string> arguments{"--connections", ConnectionPolicyName(options.connections)};
    if (!options.caFolder.empty())
        arguments.insert(arguments.end(), {"--ca", TestServerProcess::ProgramPath(options.caFolder)});
    if (!options.tls) arguments.push_back("--plain");
    if (options.port != 0) arguments.insert(arguments.end(), {"--port", std::to_string(options.port)});
    return arguments;
}

Json::Value CommandNamed(const char* name) {
    Json::Value command;
    command["command"] = name;
    return command;
}

}  // namespace

struct HttpsTestServer::State {
    std::unique_ptr<TestServerProcess> process;
};

HttpsTestServer::HttpsTestServer(fs::path root) : HttpsTestServer(std::move(root), Options{}) {}

HttpsTestServer::HttpsTestServer(fs::path root, Options options) : state_(std::make_unique<State>()) {
    state_->process = std::make_unique<TestServerProcess>(ServerProgram(), root, ProgramArguments(options));
}

HttpsTestServer::~HttpsTestServer() { Stop(); }

void HttpsTestServer::Stop() { state_->process.reset(); }

uint16_t HttpsTestServer::Port() const { return state_->process->Port(); }

std::string HttpsTestServer::Url(std::string_view target) const { return state_->process->Url(target); }

const fs::path& HttpsTestServer::CaFile() const { return state_->process->CaFile(); }

void HttpsTestServer::SetFault(const std::string& path, ServerFault fault) {
    Json::Value command = CommandNamed("set_fault");
    command["path"] = path;
    command["fault"] = ServerFaultToJson(fault);
    state_->process->Command(command);
}

void HttpsTestServer::ClearFaults() { state_->process->Command(CommandNamed("clear_faults")); }

size_t HttpsTestServer::ConnectionsAccepted() const {
    return static_cast<size_t>(state_->process->Command(CommandNamed("connections"))["connections"].asUInt64());
}

std::vector<ServerRequest> HttpsTestServer::Requests() const {
    const Json::Value answer = state_->process->Command(CommandNamed("requests"));
    std::vector<ServerRequest> requests;
    for (const Json::Value& request : answer["requests"]) requests.push_back(ServerRequestFromJson(request));
    return requests;
}

void HttpsTestServer::ClearRequests() { state_->process->Command(CommandNamed("clear_requests")); }

void HttpsTestServer::SetRequestObserver(std::function<void(const ServerRequest&)>) {
    throw std::logic_error("request observers need the in-process server of the Linux build");
}

}  // namespace zuvelo::test
