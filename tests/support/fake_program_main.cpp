// The program the Windows tests copy as a fake installer or command: it does what
// the trailer after its image says (tests/support/fake_program.h), then exits
// with the code given there.
#include <windows.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>

#include "tests/support/fake_program_trailer.h"

namespace {

namespace fs = std::filesystem;
using namespace zuvelo::test;

constexpr DWORD kSleepMilliseconds = 60000;

fs::path PathFromUtf8(const std::string& text) {
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return fs::path(wide);
}

fs::path OwnImage() {
    wchar_t self[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    return fs::path(std::wstring(self, length));
}

std::map<std::string, std::string> ReadSteps(const fs::path& image) {
    std::ifstream in(image, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::map<std::string, std::string> steps;
    const size_t marker = bytes.rfind(kFakeProgramMarker);
    if (marker == std::string::npos) return steps;
    std::istringstream lines(bytes.substr(marker + std::strlen(kFakeProgramMarker)));
    for (std::string line; std::getline(lines, line);) {
        const size_t equals = line.find('=');
        if (equals != std::string::npos) steps[line.substr(0, equals)] = UnescapeTrailerValue(line.substr(equals + 1));
    }
    return steps;
}

// Read-only: DeleteFileW refuses it. Its runner holds it open against writing, renaming
// and deletion, but attributes may still change.
void MakeUndeletable(const fs::path& image) { ::SetFileAttributesW(image.c_str(), FILE_ATTRIBUTE_READONLY); }

// A copy of this program that sleeps, holding this one's standard streams.
DWORD StartSleepingChild(const fs::path& image) {
    const std::string argument = kSleepingChildArgument;
    std::wstring commandLine = L"\"" + image.wstring() + L"\" " + std::wstring(argument.begin(), argument.end());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION started{};
    if (!::CreateProcessW(image.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                          &started)) {
        return 0;
    }
    ::CloseHandle(started.hThread);
    ::CloseHandle(started.hProcess);
    return started.dwProcessId;
}

// Runs a command line to its end.
void RunCommand(const std::string& line) {
    std::wstring commandLine = PathFromUtf8(line).wstring();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &started)) {
        return;
    }
    ::WaitForSingleObject(started.hProcess, INFINITE);
    ::CloseHandle(started.hThread);
    ::CloseHandle(started.hProcess);
}

void WriteOutput(const std::string& text) {
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], kSleepingChildArgument) == 0) {
        ::Sleep(kSleepMilliseconds);
        return 0;
    }
    const fs::path image = OwnImage();
    std::map<std::string, std::string> steps = ReadSteps(image);
    if (steps.count(kArgumentsKey)) {
        std::ofstream out(PathFromUtf8(steps[kArgumentsKey]), std::ios::binary);
        for (int i = 1; i < argc; ++i) out << (i > 1 ? " " : "") << argv[i];
        out << "\n";
    }
    if (steps.count(kUndeletableKey)) MakeUndeletable(image);
    std::ofstream pids;
    if (steps.count(kPidsKey)) {
        pids.open(PathFromUtf8(steps[kPidsKey]), std::ios::binary);
        pids << ::GetCurrentProcessId() << "\n" << std::flush;
    }
    if (steps.count(kChildKey)) {
        const DWORD child = StartSleepingChild(image);
        if (pids.is_open()) pids << child << "\n" << std::flush;
    }
    if (steps.count(kOutputKey)) WriteOutput(steps[kOutputKey]);
    if (steps.count(kSleepKey)) ::Sleep(kSleepMilliseconds);
    for (int i = 0; steps.count(kCommandKeyPrefix + std::to_string(i)); ++i) {
        RunCommand(steps[kCommandKeyPrefix + std::to_string(i)]);
    }
    ::ExitProcess(static_cast<UINT>(std::stoul(steps.count(kExitKey) ? steps[kExitKey] : "0")));
}
