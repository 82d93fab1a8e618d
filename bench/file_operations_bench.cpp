// Figures for FileOperations against the usual tools, on one machine in one run:
//   CalculateSha256 of a 1 GiB file        vs  openssl dgst -sha256
//   Copy with verifyHash of a 1 GiB file   vs  cp, then openssl dgst -sha256 of the copy
//   RemoveDirectoryTree of 100,000 files   vs  rm -rf of an identical tree
//     in 1,000 folders
// Targets: hashing within 10% of openssl; the verified copy no slower than cp +
// openssl; the removal within 2x of rm -rf.
//
// Usage: file_operations_bench [--dir PARENT] [--rounds N] [--size-mib N] [--folders N] [--files N]
// Everything is made in a fresh folder under PARENT ($TMPDIR or /tmp by default)
// and deleted at the end. Each figure is the median of N rounds (default 3), the
// two sides of a comparison taking turns; the page cache holds the source files
// (as it would right after a download), and `sync` runs before every timed step
// so that no step pays for the write-back of another.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/file_operations.h"
#include "common/paths.h"
#include "tests/support/file_trees.h"

namespace {

namespace fs = std::filesystem;
using zuvelo::ErrorCode;
using zuvelo::FileOperations;

FILE* report = stdout;  // the real standard output; fd 1 goes to /dev/null while timing

double Seconds(const std::function<void()>& step) {
    const auto start = std::chrono::steady_clock::now();
    step();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string Quote(const fs::path& path) { return "'" + path.native() + "'"; }

void Run(const std::string& command) {
    if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

void Sync() { ::sync(); }

std::string ReadCommand(const std::string& command) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) throw std::runtime_error("popen failed: " + command);
    std::string out;
    char buffer[512];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
    ::pclose(pipe);
    return out;
}

void Line(const char* what, double ours, const char* theirsName, double theirs, const char* target) {
    std::fprintf(report, "  %-34s %8.3f s\n  %-34s %8.3f s\n  ratio %.2f (target: %s)\n", what, ours, theirsName,
                 theirs, ours / theirs, target);
    std::fflush(report);
}

struct Options {
    fs::path parent;
    int rounds = 3;
    uint64_t sizeMiB = 1024;
    int folders = 1000;
    int filesPerFolder = 100;
};

Options Parse(int argc, char** argv) {
    Options options;
    const char* tmp = std::getenv("TMPDIR");
    options.parent = tmp && *tmp ? tmp : "/tmp";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const std::string value = argv[i + 1];
        if (key == "--dir") options.parent = value;
        else if (key == "--rounds") options.rounds = std::max(1, std::stoi(value));
        else if (key == "--size-mib") options.sizeMiB = std::stoull(value);
        else if (key == "--folders") options.folders = std::stoi(value);
        else if (key == "--files") options.filesPerFolder = std::stoi(value);
        else throw std::invalid_argument("unknown option " + key);
    }
    return options;
}

void Bench(const Options& options, const fs::path& work) {
    FileOperations ops;
    const fs::path big = work / "big.bin";
    const uint64_t size = options.sizeMiB * 1024 * 1024;
    std::fprintf(report, "Preparing a %llu MiB file in %s\n", static_cast<unsigned long long>(options.sizeMiB),
                 work.c_str());
    std::fflush(report);
    zuvelo::test::WritePatternFile(big, size, 7);
    Sync();

    // Hashing.
    {
        std::string ours;
        if (ops.CalculateSha256(zuvelo::WidePath(big), ours) != ErrorCode::Success) throw std::runtime_error("hash");
        const std::string theirs = ReadCommand("openssl dgst -sha256 -r " + Quote(big));
        if (theirs.substr(0, 64) != ours) throw std::runtime_error("digests differ: " + ours + " / " + theirs);
        std::vector<double> a;
        std::vector<double> b;
        for (int r = 0; r < options.rounds; ++r) {
            a.push_back(Seconds([&] {
                std::string hex;
                ops.CalculateSha256(zuvelo::WidePath(big), hex);
            }));
            b.push_back(Seconds([&] { Run("openssl dgst -sha256 " + Quote(big) + " >/dev/null"); }));
        }
        std::fprintf(report, "\nSHA-256 of %llu MiB (digests equal: %s)\n",
                     static_cast<unsigned long long>(options.sizeMiB), ours.c_str());
        Line("CalculateSha256", Median(a), "openssl dgst -sha256", Median(b), "<= 1.10");
    }

    // Verified copy.
    {
        const fs::path oursCopy = work / "copy-ours.bin";
        const fs::path theirsCopy = work / "copy-cp.bin";
        zuvelo::CopyOptions copyOptions;
        copyOptions.verifyHash = true;
        std::vector<double> a;
        std::vector<double> b;
        std::vector<double> c;
        for (int r = 0; r < options.rounds; ++r) {
            fs::remove(oursCopy);
            Sync();
            a.push_back(Seconds([&] {
                if (ops.Copy(zuvelo::WidePath(big), zuvelo::WidePath(oursCopy), copyOptions) != ErrorCode::Success) {
                    throw std::runtime_error("copy failed");
                }
            }));
            fs::remove(theirsCopy);
            Sync();
            b.push_back(Seconds([&] {
                Run("cp " + Quote(big) + " " + Quote(theirsCopy) + " && openssl dgst -sha256 " + Quote(theirsCopy) +
                    " >/dev/null");
            }));
            fs::remove(theirsCopy);
            Sync();
            c.push_back(Seconds([&] {
                Run("cp " + Quote(big) + " " + Quote(theirsCopy) + " && sync " + Quote(theirsCopy) +
                    " && openssl dgst -sha256 " + Quote(theirsCopy) + " >/dev/null");
            }));
        }
        std::string copied;
        ops.CalculateSha256(zuvelo::WidePath(oursCopy), copied);
        std::fprintf(report, "\nCopy with verifyHash of %llu MiB (copy intact: %s)\n",
                     static_cast<unsigned long long>(options.sizeMiB),
                     copied == ReadCommand("openssl dgst -sha256 -r " + Quote(big)).substr(0, 64) ? "yes" : "NO");
        Line("Copy (verifyHash, flushed)", Median(a), "cp + openssl dgst", Median(b), "<= 1.00");
        std::fprintf(report, "  %-34s %8.3f s\n  ratio %.2f against the same durability\n",
                     "cp + sync of the copy + openssl", Median(c), Median(a) / Median(c));
        fs::remove(oursCopy);
        fs::remove(theirsCopy);
        fs::remove(big);
        Sync();
    }

    // Tree removal.
    {
        const int files = options.folders * options.filesPerFolder;
        std::fprintf(report, "\nRemoving %d files in %d folders (each round builds two identical trees)\n", files,
                     options.folders);
        std::fflush(report);
        // All trees first: ext4 makes new inodes slowly for a while after many deletions.
        for (int r = 0; r < options.rounds; ++r) {
            zuvelo::test::MakeFlatTree(work / ("tree-ours-" + std::to_string(r)), options.folders,
                                       options.filesPerFolder, 100);
            zuvelo::test::MakeFlatTree(work / ("tree-rm-" + std::to_string(r)), options.folders,
                                       options.filesPerFolder, 100);
        }
        Sync();
        std::vector<double> a;
        std::vector<double> b;
        for (int r = 0; r < options.rounds; ++r) {
            const fs::path oursTree = work / ("tree-ours-" + std::to_string(r));
            const fs::path theirsTree = work / ("tree-rm-" + std::to_string(r));
            const auto ours = [&] {
                int32_t removedFiles = 0;
                int32_t removedFolders = 0;
                a.push_back(Seconds([&] {
                    if (ops.RemoveDirectoryTree(zuvelo::WidePath(oursTree), true, &removedFiles, &removedFolders) !=
                        ErrorCode::Success) {
                        throw std::runtime_error("removal failed");
                    }
                }));
                if (removedFiles != files || removedFolders != options.folders + 1) {
                    throw std::runtime_error("removal counted " + std::to_string(removedFiles) + " files");
                }
                Sync();
            };
            const auto theirs = [&] {
                b.push_back(Seconds([&] { Run("rm -rf " + Quote(theirsTree)); }));
                Sync();
            };
            if (r % 2 == 0) {
                ours();
                theirs();
            } else {
                theirs();
                ours();
            }
        }
        Line("RemoveDirectoryTree (recursive)", Median(a), "rm -rf", Median(b), "<= 2.00");
        std::fprintf(report, "  (RemoveDirectoryTree writes one JSON event per item to standard output,\n"
                             "   sent to /dev/null here)\n");
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    try {
        options = Parse(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    // The logger writes its events to standard output: keep the figures on the real
    // one and send the events to /dev/null, as a launcher reading them would cost
    // about as little.
    const int saved = ::dup(1);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved < 0 || null < 0 || ::dup2(null, 1) < 0) return 1;
    ::close(null);
    report = ::fdopen(saved, "w");
    if (!report) return 1;

    std::string pattern = (options.parent / "zuvelo-bench-XXXXXX").native();
    if (!::mkdtemp(pattern.data())) {
        std::fprintf(stderr, "cannot make a folder under %s\n", options.parent.c_str());
        return 1;
    }
    const fs::path work = pattern;
    int status = 0;
    try {
        Bench(options, work);
    } catch (const std::exception& e) {
        std::fprintf(report, "benchmark failed: %s\n", e.what());
        status = 1;
    }
    std::error_code ec;
    fs::remove_all(work, ec);
    std::fclose(report);
    return status;
}
