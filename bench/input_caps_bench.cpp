// Peak memory of the readers of whole documents, given documents past their size
// caps (as large as those that once cost gigabytes) and documents just under
// them. Each reading runs in a child process of its own; its maximum resident
// set size is the figure. The documents have the shape of real ones: a legacy
// update manifest (downloaded over loopback HTTPS, its length announced or not),
// a prepared session's files manifest (read by the installation and by the
// orphan cleanup), an install receipt and an execution plan.
//
// Usage: input_caps_bench [--dir PARENT]
// The documents are written in a fresh folder under PARENT ($TMPDIR or /tmp by
// default), about 600 MB in all, and deleted at the end. Prints figures only;
// the aim is every oversized input refused below 256 MiB.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/error_codes.h"
#include "common/paths.h"
#include "common/text.h"
#include "elevated/plan_loader.h"
#include "install/install_receipt.h"
#include "install/orphan_inventory.h"
#include "manifest/manifest_handler.h"
#include "manifest/manifest_rules.h"
#include "manifest/prepared_session.h"
#include "tests/support/https_test_server.h"
#include "uninstall/install_receipt_reader.h"

namespace {

namespace fs = std::filesystem;
using zuvelo::ErrorCode;

constexpr uint64_t kMiB = 1024 * 1024;

// A JSON document of about `size` bytes: head, then items made by `item` joined
// with commas until the size is reached, then tail.
void WriteDocument(const fs::path& path, uint64_t size, const std::string& head,
                   const std::function<std::string(uint64_t)>& item, const std::string& tail) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << head;
    uint64_t written = head.size() + tail.size();
    for (uint64_t i = 0;; ++i) {
        const std::string text = (i ? ",\n" : "\n") + item(i);
        if (written + text.size() > size) break;
        out << text;
        written += text.size();
    }
    out << tail;
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

// A path of 200 bytes, different for every i.
std::string LongPath(uint64_t i) {
    std::string path = "data/levels/" + std::to_string(i) + "/";
    path.resize(196, 'x');
    return path + ".pak";
}

std::string Hash(uint64_t i) {
    std::string hash = std::to_string(i);
    hash.resize(64, 'a');
    return hash;
}

void WriteManifest(const fs::path& path, uint64_t size) {
    WriteDocument(
        path, size, R"({"version": "1.0.0", "gameVersion": "1.0.0", "signature": "c2ln", "files": [)",
        [](uint64_t i) {
            return R"(  {"path": ")" + LongPath(i) + R"(", "sha256": ")" + Hash(i) + R"(", "size": )" +
                   std::to_string(1000 + i) + R"(, "permissions": "644", "downloadUrl": "https://cdn.example/files/)" +
                   Hash(i).substr(0, 8) + "/" + LongPath(i) + R"("})";
        },
        "\n]}\n");
}

void WriteFilesManifest(const fs::path& path, uint64_t size) {
    WriteDocument(
        path, size, R"({"sessionRoot": "/var/tmp/session", "files": [)",
        [](uint64_t i) {
            return R"(  {"file": ")" + LongPath(i) + R"(", "path": "/var/tmp/session/)" + LongPath(i) +
                   R"(", "bytes": )" + std::to_string(1000 + i) + R"(, "sha256": ")" + Hash(i) + R"("})";
        },
        "\n]}\n");
}

void WriteReceipt(const fs::path& path, uint64_t size) {
    WriteDocument(
        path, size,
        R"({"version": "1.0.0", "installPath": "/opt/Zuvelo", "launcherPath": "/opt/Zuvelo/Launcher",)"
        R"( "components": {"client": {"version": "1.0.0", "files": [)",
        [](uint64_t i) { return R"("/opt/Zuvelo/)" + LongPath(i) + R"(")"; }, "\n]}}}\n");
}

void WritePlan(const fs::path& path, uint64_t size) {
    WriteDocument(
        path, size, R"({"operations": [)",
        [](uint64_t i) {
            return R"(  {"type": "release_session", "sessionRoot": "/var/tmp/session/)" + LongPath(i) + R"("})";
        },
        "\n]}\n");
}

// A document of nothing but tiny values, the cheapest bytes to send and the dearest to parse.
void WriteTinyValues(const fs::path& path, uint64_t size) {
    WriteDocument(path, size, R"({"files": [)", [](uint64_t) { return std::string("0"); }, "]}");
}

struct Figure {
    int result = 0;
    double peakMiB = 0;
};

// Runs read in a child process with its output sent to /dev/null: its result and peak resident set.
Figure InChild(const std::function<ErrorCode()>& read) {
    std::fflush(stdout);
    const pid_t child = ::fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        int code = 255;
        try {
            code = static_cast<int>(read()) & 0xff;
        } catch (...) {
        }
        std::_Exit(code);
    }
    int status = 0;
    rusage usage{};
    if (::wait4(child, &status, 0, &usage) != child) throw std::runtime_error("wait4 failed");
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, usage.ru_maxrss / 1024.0};
}

void Row(const char* what, uint64_t size, uint64_t cap, const Figure& figure) {
    std::printf("%-38s %9.1f %8.0f %7d %9.1f\n", what, static_cast<double>(size) / kMiB,
                static_cast<double>(cap) / kMiB, figure.result, figure.peakMiB);
}

// --dir PARENT, else $TMPDIR, else /tmp.
fs::path ParentFolder(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--dir") return argv[2];
    if (argc != 1) throw std::invalid_argument("usage: input_caps_bench [--dir PARENT]");
    const char* tmp = std::getenv("TMPDIR");
    return tmp && *tmp ? tmp : "/tmp";
}

// An update manifest of `size` bytes fetched as the application flow fetches it.
void BenchManifest(const fs::path& work, zuvelo::test::HttpsTestServer& server, const char* what, uint64_t size,
                   bool announced) {
    WriteManifest(work / "www" / "manifest.json", size);
    server.SetFault("/manifest.json", announced ? zuvelo::test::ServerFault{}
                                                : zuvelo::test::ServerFault::Of(zuvelo::test::ServerFaultKind::Chunked));
    const std::wstring url = zuvelo::Utf8ToWide(server.Url("/manifest.json"));
    const fs::path cache = work / "cache";
    const Figure figure = InChild([&] {
        zuvelo::ManifestHandler handler(L"", {.cacheDir = cache});
        zuvelo::UpdateManifest manifest;
        if (const ErrorCode result = handler.Initialize(); result != ErrorCode::Success) return result;
        return handler.DownloadManifest(url, manifest);
    });
    Row(what, fs::file_size(work / "www" / "manifest.json"), zuvelo::kMaxManifestBytes, figure);
}

void BenchLocal(const fs::path& file, const char* what, uint64_t size, uint64_t cap,
                const std::function<void(const fs::path&, uint64_t)>& write,
                const std::function<ErrorCode(const std::wstring&)>& read) {
    write(file, size);
    const std::wstring path = zuvelo::WidePath(file);
    Row(what, fs::file_size(file), cap, InChild([&] { return read(path); }));
    fs::remove(file);
}

ErrorCode ReadDescriptor(const std::wstring& path) {
    return zuvelo::ReadPreparedSessionDescriptor(path).readResult;
}

ErrorCode ReadOrphanFiles(const std::wstring& path) {
    std::set<std::string> expected;
    return zuvelo::ReadExpectedFiles(path, expected);
}

ErrorCode ReadReceipt(const std::wstring& path) {
    zuvelo::InstallReceipt receipt;
    return zuvelo::ReadInstallReceipt(path, receipt);
}

ErrorCode ReadPlan(const std::wstring& path) {
    std::vector<zuvelo::PlanOperation> plan;
    return zuvelo::LoadPlanFromFile(path, plan);
}

void Bench(const fs::path& work) {
    std::printf("%-38s %9s %8s %7s %9s\n", "input", "MiB", "cap MiB", "result", "peak MiB");
    fs::create_directories(work / "www");
    {
        zuvelo::test::HttpsTestServer server(work / "www");
        ::setenv("SSL_CERT_FILE", server.CaFile().c_str(), 1);
        ::setenv("no_proxy", "127.0.0.1", 1);
        BenchManifest(work, server, "update manifest, length announced", 300 * kMiB, true);
        BenchManifest(work, server, "update manifest, length not announced", 300 * kMiB, false);
        BenchManifest(work, server, "update manifest just under the cap", zuvelo::kMaxManifestBytes - 4096, true);
    }
    const uint64_t filesCap = zuvelo::kMaxFilesManifestBytes;
    const fs::path files = work / "files.json";
    BenchLocal(files, "files manifest, prepared session", 80 * kMiB, filesCap, WriteFilesManifest, ReadDescriptor);
    BenchLocal(files, "files manifest just under the cap", filesCap - 4096, filesCap, WriteFilesManifest,
               ReadDescriptor);
    BenchLocal(files, "files manifest, orphan cleanup", 80 * kMiB, filesCap, WriteFilesManifest, ReadOrphanFiles);
    BenchLocal(files, "files manifest just under the cap", filesCap - 4096, filesCap, WriteFilesManifest,
               ReadOrphanFiles);
    BenchLocal(files, "files manifest of tiny values", filesCap - 4096, filesCap, WriteTinyValues, ReadDescriptor);
    BenchLocal(files, "files manifest of tiny values", filesCap - 4096, filesCap, WriteTinyValues, ReadOrphanFiles);
    const uint64_t receiptCap = zuvelo::kMaxInstallReceiptBytes;
    const fs::path receipt = work / "InstallReceipt.json";
    BenchLocal(receipt, "install receipt", 132 * kMiB, receiptCap, WriteReceipt, ReadReceipt);
    BenchLocal(receipt, "install receipt just under the cap", receiptCap - 4096, receiptCap, WriteReceipt,
               ReadReceipt);
    BenchLocal(receipt, "install receipt of tiny values", receiptCap - 4096, receiptCap, WriteTinyValues,
               ReadReceipt);
    const uint64_t planCap = zuvelo::kMaxPlanBytes;
    const fs::path plan = work / "plan.json";
    BenchLocal(plan, "execution plan", 80 * kMiB, planCap, WritePlan, ReadPlan);
    BenchLocal(plan, "execution plan just under the cap", planCap - 4096, planCap, WritePlan, ReadPlan);
    BenchLocal(plan, "execution plan of tiny values", planCap - 4096, planCap, WriteTinyValues, ReadPlan);
    std::printf("result: the reader's code (121 unparsable, 1 refused; 0 read); peak: maximum resident set size\n"
                "of the process that read it. Oversized inputs should be refused below 256 MiB.\n");
}

}  // namespace

int main(int argc, char** argv) {
    try {
        std::string pattern = (ParentFolder(argc, argv) / "zuvelo-caps-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        const fs::path work = pattern;
        try {
            Bench(work);
        } catch (...) {
            fs::remove_all(work);
            throw;
        }
        fs::remove_all(work);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "input_caps_bench: %s\n", e.what());
        return 1;
    }
}
