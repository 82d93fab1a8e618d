// Downloads one large file from the local HTTPS test server with HttpClient and
// with the curl command-line tool, a few rounds each, and prints the times.
//   http_client_bench [size in MiB, default 1024] [rounds, default 5]
// One unmeasured round of each goes first; the order alternates so neither
// tool always runs on the heels of the other's writes.
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "common/http_client.h"
#include "common/jsonl_logger.h"
#include "tests/support/https_test_server.h"
#include "tests/support/test_folders.h"

namespace {

namespace fs = std::filesystem;
using Seconds = std::chrono::duration<double>;

void WriteLargeFile(const fs::path& path, uint64_t mebibytes) {
    std::vector<char> block(1048576);
    uint32_t state = 88172645u;
    for (char& c : block) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        c = static_cast<char>(state);
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (uint64_t i = 0; i < mebibytes; ++i) {
        block[0] = static_cast<char>(i);  // no two blocks alike
        out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

template <typename Action>
double TimeOf(Action action) {
    auto start = std::chrono::steady_clock::now();
    action();
    return Seconds(std::chrono::steady_clock::now() - start).count();
}

void RequireSize(const fs::path& path, uint64_t size, const char* who) {
    if (fs::file_size(path) != size) throw std::runtime_error(std::string(who) + " produced a file of the wrong size");
}

double DownloadWithClient(const std::string& url, const fs::path& destination) {
    zuvelo::HttpClient client;
    zuvelo::DownloadOptions options;
    options.resume = false;
    options.maxBytes = UINT64_MAX;
    zuvelo::ErrorCode result = zuvelo::ErrorCode::Success;
    double seconds = TimeOf([&] { result = client.DownloadFile(std::wstring(url.begin(), url.end()), destination, options); });
    if (result != zuvelo::ErrorCode::Success) throw std::runtime_error("HttpClient failed: " + std::to_string(ToInt(result)));
    return seconds;
}

double DownloadWithCurl(const std::string& url, const fs::path& caFile, const fs::path& destination) {
    std::string command = "curl --silent --show-error --fail --cacert '" + caFile.string() + "' --output '" +
                          destination.string() + "' '" + url + "'";
    int status = 0;
    double seconds = TimeOf([&] { status = std::system(command.c_str()); });
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("curl failed");
    return seconds;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct Setup {
    std::string url;
    fs::path caFile;
    uint64_t mebibytes = 0;
    int rounds = 0;
};

// A regular file shows the whole cost; /dev/null leaves out the page cache,
// whose first-touch cost on a virtual machine varies a lot from run to run.
void Compare(const Setup& setup, const fs::path& destination, const char* label) {
    bool regular = destination != "/dev/null";
    auto finish = [&](const char* who) {
        if (!regular) return;
        RequireSize(destination, setup.mebibytes * 1048576, who);
        fs::remove(destination);
    };
    auto runClient = [&] {
        double seconds = DownloadWithClient(setup.url, destination);
        finish("HttpClient");
        return seconds;
    };
    auto runCurl = [&] {
        double seconds = DownloadWithCurl(setup.url, setup.caFile, destination);
        finish("curl");
        return seconds;
    };
    runClient();
    runCurl();
    std::vector<double> client;
    std::vector<double> curl;
    std::printf("%s:\n", label);
    for (int round = 0; round < setup.rounds; ++round) {
        if (round % 2 == 0) {
            client.push_back(runClient());
            curl.push_back(runCurl());
        } else {
            curl.push_back(runCurl());
            client.push_back(runClient());
        }
        std::printf("  round %d: HttpClient %.3f s, curl %.3f s\n", round + 1, client.back(), curl.back());
    }
    double mib = static_cast<double>(setup.mebibytes);
    double clientMedian = Median(client);
    double curlMedian = Median(curl);
    std::printf("  median of %d: HttpClient %.3f s (%.0f MiB/s), curl %.3f s (%.0f MiB/s), ratio %.3f\n",
                setup.rounds, clientMedian, mib / clientMedian, curlMedian, mib / curlMedian,
                clientMedian / curlMedian);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        Setup setup;
        setup.mebibytes = argc > 1 ? std::stoull(argv[1]) : 1024;
        setup.rounds = argc > 2 ? std::stoi(argv[2]) : 5;
        // Events would only clutter the figures.
        zuvelo::JsonlLogger::Instance().SetStdoutSinkForTesting([](std::string_view) {});

        zuvelo::test::TempFolder content;
        zuvelo::test::TempFolder work;
        WriteLargeFile(content / "large.bin", setup.mebibytes);
        zuvelo::test::HttpsTestServer server(content.path());
        ::setenv("SSL_CERT_FILE", server.CaFile().c_str(), 1);
        setup.url = server.Url("/large.bin");
        setup.caFile = server.CaFile();

        std::printf("%llu MiB over loopback HTTPS\n", static_cast<unsigned long long>(setup.mebibytes));
        Compare(setup, work / "large.bin", "into a file");
        Compare(setup, "/dev/null", "into /dev/null");
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "http_client_bench: %s\n", error.what());
        return 1;
    }
}
