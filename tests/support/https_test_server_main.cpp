// Serves a folder over HTTPS on 127.0.0.1 until SIGTERM or SIGINT.
//   zuvelo_test_server --root DIR [--port N] [--plain] [--faults FILE.json] [--request-log FILE]
//                      [--connections POLICY] [--ca DIR] [--control PORT]
// Prints "port=N" and "ca_file=PATH" (empty with --plain), one per line, once it listens.
// With --control it connects to 127.0.0.1:PORT instead, announces itself there, answers
// one JSON line per command line (see RunCommand), and ends when that connection ends.
#include <pthread.h>
#include <signal.h>

#include <json/reader.h>
#include <json/writer.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>

#include "tests/support/https_test_server.h"
#include "tests/support/loopback_socket.h"

namespace {

using zuvelo::test::HttpsTestServer;

struct Arguments {
    std::filesystem::path root;
    std::filesystem::path faults;
    std::filesystem::path requestLog;
    std::optional<uint16_t> controlPort;
    HttpsTestServer::Options options;
};

Arguments ParseArguments(int argc, char** argv) {
    Arguments arguments;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (name == "--plain") {
            arguments.options.tls = false;
            continue;
        }
        if (i + 1 >= argc) throw std::invalid_argument("missing value for " + name);
        std::string value = argv[++i];
        if (name == "--root") arguments.root = value;
        else if (name == "--port") arguments.options.port = static_cast<uint16_t>(std::stoul(value));
        else if (name == "--faults") arguments.faults = value;
        else if (name == "--request-log") arguments.requestLog = value;
        else if (name == "--connections") arguments.options.connections = zuvelo::test::ConnectionPolicyFromName(value);
        else if (name == "--ca") arguments.options.caFolder = value;
        else if (name == "--control") arguments.controlPort = static_cast<uint16_t>(std::stoul(value));
        else throw std::invalid_argument("unknown option " + name);
    }
    if (arguments.root.empty()) throw std::invalid_argument("--root is required");
    return arguments;
}

std::string OneLine(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, value);
}

// One JSON line per request: {"method":..,"range":..,"target":..}.
std::function<void(const zuvelo::test::ServerRequest&)> RequestLogger(const std::filesystem::path& file) {
    auto out = std::make_shared<std::ofstream>(file, std::ios::app);
    auto mutex = std::make_shared<std::mutex>();
    return [out, mutex](const zuvelo::test::ServerRequest& request) {
        Json::Value line;
        line["method"] = request.method;
        line["target"] = request.target;
        line["range"] = request.Header("range");
        std::lock_guard lock(*mutex);
        *out << OneLine(line) << '\n' << std::flush;
    };
}

std::string Announcement(const HttpsTestServer& server) {
    return "port=" + std::to_string(server.Port()) + "\nca_file=" + server.CaFile().string() + "\n";
}

// {"command": "set_fault", "path": P, "fault": {..}}, "clear_faults", "requests",
// "clear_requests" or "connections"; the answer has "ok", and "requests" or
// "connections" for the questions, or "error".
Json::Value RunCommand(HttpsTestServer& server, const Json::Value& command) {
    Json::Value answer;
    answer["ok"] = true;
    const std::string name = command["command"].asString();
    if (name == "set_fault") {
        server.SetFault(command["path"].asString(), zuvelo::test::ServerFaultFromJson(command["fault"]));
    } else if (name == "clear_faults") {
        server.ClearFaults();
    } else if (name == "requests") {
        answer["requests"] = Json::Value(Json::arrayValue);
        for (const auto& request : server.Requests())
            answer["requests"].append(zuvelo::test::ServerRequestToJson(request));
    } else if (name == "clear_requests") {
        server.ClearRequests();
    } else if (name == "connections") {
        answer["connections"] = Json::UInt64(server.ConnectionsAccepted());
    } else {
        throw std::invalid_argument("unknown command " + name);
    }
    return answer;
}

Json::Value Answer(HttpsTestServer& server, const std::string& line) {
    try {
        Json::Value command;
        std::istringstream in(line);
        std::string errors;
        if (!Json::parseFromStream(Json::CharReaderBuilder(), in, &command, &errors) || !command.isObject())
            throw std::invalid_argument("not a JSON object: " + line);
        return RunCommand(server, command);
    } catch (const std::exception& error) {
        Json::Value answer;
        answer["ok"] = false;
        answer["error"] = error.what();
        return answer;
    }
}

void ServeControlConnection(HttpsTestServer& server, uint16_t port) {
    auto control = zuvelo::test::LoopbackSocket::Connect(port);
    if (!control.SendAll(Announcement(server))) return;
    while (auto line = control.ReadLine(zuvelo::test::LoopbackSocket::kNoTimeLimit)) {
        if (!control.SendAll(OneLine(Answer(server, *line)) + "\n")) return;
    }
}

int WaitForTermination(const sigset_t& signals) {
    int received = 0;
    sigwait(&signals, &received);
    return received;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        Arguments arguments = ParseArguments(argc, argv);
        // Blocked before any thread starts, so only sigwait sees them.
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGTERM);
        sigaddset(&signals, SIGINT);
        if (!arguments.controlPort) pthread_sigmask(SIG_BLOCK, &signals, nullptr);

        HttpsTestServer server(arguments.root, arguments.options);
        if (!arguments.faults.empty()) {
            for (auto& [path, fault] : zuvelo::test::LoadServerFaults(arguments.faults)) server.SetFault(path, fault);
        }
        if (!arguments.requestLog.empty()) server.SetRequestObserver(RequestLogger(arguments.requestLog));
        if (arguments.controlPort) {
            ServeControlConnection(server, *arguments.controlPort);
        } else {
            std::cout << Announcement(server) << std::flush;
            WaitForTermination(signals);
        }
        server.Stop();
        return 0;
    } catch (const std::exception& error) {
        std::cerr << "zuvelo_test_server: " << error.what() << "\n";
        return 2;
    }
}
