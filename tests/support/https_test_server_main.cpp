// Serves a folder over HTTPS on 127.0.0.1 until SIGTERM or SIGINT.
//   zuvelo_test_server --root DIR [--port N] [--plain] [--faults FILE.json] [--request-log FILE]
// Prints "port=N" and "ca_file=PATH" (empty with --plain), one per line, once it listens.
#include <pthread.h>
#include <signal.h>

#include <json/writer.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

#include "tests/support/https_test_server.h"

namespace {

struct Arguments {
    std::filesystem::path root;
    std::filesystem::path faults;
    std::filesystem::path requestLog;
    zuvelo::test::HttpsTestServer::Options options;
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
        else throw std::invalid_argument("unknown option " + name);
    }
    if (arguments.root.empty()) throw std::invalid_argument("--root is required");
    return arguments;
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
        Json::StreamWriterBuilder builder;
        builder["indentation"] = "";
        std::lock_guard lock(*mutex);
        *out << Json::writeString(builder, line) << '\n' << std::flush;
    };
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
        pthread_sigmask(SIG_BLOCK, &signals, nullptr);

        zuvelo::test::HttpsTestServer server(arguments.root, arguments.options);
        if (!arguments.faults.empty()) {
            for (auto& [path, fault] : zuvelo::test::LoadServerFaults(arguments.faults)) server.SetFault(path, fault);
        }
        if (!arguments.requestLog.empty()) server.SetRequestObserver(RequestLogger(arguments.requestLog));
        std::cout << "port=" << server.Port() << "\n" << "ca_file=" << server.CaFile().string() << std::endl;
        WaitForTermination(signals);
        server.Stop();
        return 0;
    } catch (const std::exception& error) {
        std::cerr << "zuvelo_test_server: " << error.what() << "\n";
        return 2;
    }
}
