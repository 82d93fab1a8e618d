#include "tests/support/signed_executables.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tests/support/test_folders.h"
#ifdef _WIN32
#include "tests/support/wine.h"
#else
#include "tests/support/program_runner.h"
#endif

namespace zuvelo::test {

namespace {

namespace fs = std::filesystem;

constexpr size_t kImageSize = 0x400;
constexpr size_t kPeHeader = 0x40;
constexpr char kOsslsigncode[] = "/usr/bin/osslsigncode";

#ifdef _WIN32

template <typename Function>
Function WineExport(const char* name) {
    const FARPROC export_ = ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), name);
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(export_));
}

// Wine's name of a Windows path on the Linux side; empty outside Wine.
std::string UnixName(const fs::path& path) {
    const auto toUnix = WineExport<char*(CDECL*)(const wchar_t*)>("wine_get_unix_file_name");
    char* name = toUnix ? toUnix(path.wstring().c_str()) : nullptr;
    if (!name) return {};
    std::string unixName(name);
    ::HeapFree(::GetProcessHeap(), 0, name);
    return unixName;
}

// Wine's Windows name of a Linux path; empty outside Wine.
fs::path WindowsName(const char* unixName) {
    const auto toWindows = WineExport<wchar_t*(CDECL*)(const char*)>("wine_get_dos_file_name");
    wchar_t* name = toWindows ? toWindows(unixName) : nullptr;
    if (!name) return {};
    fs::path windowsName(name);
    ::HeapFree(::GetProcessHeap(), 0, name);
    return windowsName;
}

std::wstring Wide(const std::string& utf8) {
    std::wstring wide(utf8.size(), L'\0');
    wide.resize(::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(),
                                      static_cast<int>(wide.size())));
    return wide;
}

// One argument of a command line, quoted so that it is split back as it is.
std::wstring Quoted(const std::string& argument) {
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (const wchar_t c : Wide(argument)) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes stand for themselves unless a quote follows: then they are doubled and the quote escaped.
        quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        quoted += c;
        backslashes = 0;
    }
    quoted.append(2 * backslashes, L'\\');  // before the closing quote
    return quoted + L"\"";
}

// Runs a Linux program to its end; throws unless it exits with 0. Wine starts a Linux
// executable directly but gives no handle to wait on, so the program runs under the
// shell, which leaves its exit status in a file of the work folder when it ends.
void RunLinuxProgram(const char* program, const std::vector<std::string>& arguments, const fs::path& work) {
    const fs::path status = work / "exit-status";
    constexpr char kScript[] = "s=$1; shift; \"$@\" >\"$s.log\" 2>&1; echo $? >\"$s.part\"; mv \"$s.part\" \"$s\"";
    std::vector<std::string> argv = {"/bin/sh", "-c", kScript, "sh", UnixName(status), program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::wstring commandLine;
    for (const std::string& argument : argv) commandLine += (commandLine.empty() ? L"" : L" ") + Quoted(argument);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    if (!::CreateProcessW(WindowsName(argv[0].c_str()).c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                          nullptr, nullptr, &startup, &started)) {
        throw std::runtime_error(std::string("cannot start ") + program);
    }
    ::CloseHandle(started.hProcess);
    ::CloseHandle(started.hThread);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (!fs::exists(status)) {
        if (std::chrono::steady_clock::now() > deadline) {
            throw std::runtime_error(std::string(program) + " never ended");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (ReadFile(status) != "0\n") {
        throw std::runtime_error(std::string(program) + " failed: " + ReadFile(work / "exit-status.log"));
    }
}

#endif

// The tool's own name of a file it reads or writes.
std::string ToolName(const fs::path& path) {
#ifdef _WIN32
    return UnixName(path);
#else
    return path.string();
#endif
}

void PutLe(std::string& image, size_t at, uint64_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) image[at + i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

}  // namespace

std::string TinyPeImage(bool pe32Plus) {
    std::string image(kImageSize, '\0');
    const auto put16 = [&](size_t at, uint64_t value) { PutLe(image, at, value, 2); };
    const auto put32 = [&](size_t at, uint64_t value) { PutLe(image, at, value, 4); };
    const size_t word = pe32Plus ? 8 : 4;  // the width of the image base and the stack and heap sizes

    image.replace(0, 2, "MZ");
    put32(0x3c, kPeHeader);
    image.replace(kPeHeader, 4, std::string("PE\0\0", 4));
    const size_t optionalSize = pe32Plus ? 240 : 224;
    put16(kPeHeader + 4, pe32Plus ? 0x8664 : 0x14c);  // machine
    put16(kPeHeader + 6, 1);                          // sections
    put16(kPeHeader + 20, optionalSize);
    put16(kPeHeader + 22, pe32Plus ? 0x22 : 0x102);  // executable image

    const size_t optional = kPeHeader + 24;
    put16(optional, pe32Plus ? 0x20b : 0x10b);
    put32(optional + 4, 0x200);                  // size of code
    put32(optional + 16, 0x1000);                // entry point
    put32(optional + 20, 0x1000);                // base of code
    put32(optional + 32, 0x1000);                // section alignment
    put32(optional + 36, 0x200);                 // file alignment
    put16(optional + 40, 6);                     // operating system version
    put16(optional + 48, 6);                     // subsystem version
    put32(optional + 56, 0x2000);                // size of image
    put32(optional + 60, kTinyPeSectionOffset);  // size of headers
    put16(optional + 68, 3);                     // console subsystem
    put32(optional + (pe32Plus ? 108 : 92), 16);  // data directories
    // Image base, then stack and heap sizes (reserve, commit).
    PutLe(image, optional + (pe32Plus ? 24 : 28), pe32Plus ? 0x140000000 : 0x400000, word);
    for (size_t i = 0; i < 4; ++i) PutLe(image, optional + 72 + i * word, i % 2 ? 0x1000 : 0x100000, word);

    const size_t section = optional + optionalSize;
    image.replace(section, 5, ".text");
    put32(section + 8, 1);                      // virtual size
    put32(section + 12, 0x1000);                // virtual address
    put32(section + 16, 0x200);                 // size of raw data
    put32(section + 20, kTinyPeSectionOffset);  // pointer to raw data
    put32(section + 36, 0x60000020);            // code, execute, read
    image[kTinyPeSectionOffset] = '\xc3';       // ret
    return image;
}

bool CanSignPeImages() {
#ifdef _WIN32
    return RunningUnderWine() && fs::exists(WindowsName(kOsslsigncode));
#else
    return true;
#endif
}

std::string SignPeImage(const std::string& image, const TestIdentity& signer, const std::string& digest) {
    TempFolder work;
    WriteFile(work / "in.exe", image);
    WriteFile(work / "signer.pem", signer.certificatePem);
    WriteFile(work / "signer.key", signer.keyPem);
    const std::vector<std::string> arguments = {
        "sign", "-certs", ToolName(work / "signer.pem"), "-key", ToolName(work / "signer.key"), "-h", digest,
        "-in",  ToolName(work / "in.exe"), "-out", ToolName(work / "out.exe")};
#ifdef _WIN32
    RunLinuxProgram(kOsslsigncode, arguments, work.path());
#else
    const ProgramResult result = RunProgram(kOsslsigncode, arguments);
    if (result.exitCode != 0) throw std::runtime_error("osslsigncode failed: " + result.out + result.err);
#endif
    return ReadFile(work / "out.exe");
}

void TrustCodeSigningRoot(const std::filesystem::path& machineRoot, const TestIdentity& root) {
    WriteFile(machineRoot / "trust" / "code-signing" / "root.pem", root.certificatePem);
}

}  // namespace zuvelo::test
