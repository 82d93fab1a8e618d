#include <windows.h>

#include <cstdlib>
#include <stdexcept>

#include "common/text.h"
#include "tests/support/fake_program.h"
#include "tests/support/fake_program_trailer.h"
#include "tests/support/program_runner.h"
#include "tests/support/test_folders.h"

namespace zuvelo::test {

namespace fs = std::filesystem;

namespace {

// The tests' console program, built beside the test programs.
fs::path FakeProgramImage() {
    wchar_t self[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) throw std::runtime_error("cannot find the test program");
    return fs::path(std::wstring(self, length)).parent_path() / "zuvelo_fake_program.exe";
}

std::string Line(const char* key, const std::string& value) {
    return std::string(key) + "=" + EscapeTrailerValue(value) + "\n";
}

}  // namespace

void WriteFakeProgram(const fs::path& path, const FakeProgram& program) {
    // Windows starts installers with no handle inheritance at all: nothing to list.
    if (!program.descriptorsFile.empty()) throw std::invalid_argument("descriptorsFile is for Linux");
    std::string image = ReadFile(FakeProgramImage()) + kFakeProgramMarker;
    if (!program.argumentsFile.empty()) image += Line(kArgumentsKey, Utf8FromPath(program.argumentsFile));
    if (program.undeletable) image += Line(kUndeletableKey, "1");
    if (!program.pidsFile.empty()) image += Line(kPidsKey, Utf8FromPath(program.pidsFile));
    if (program.sleepingChild) image += Line(kChildKey, "1");
    if (!program.output.empty()) image += Line(kOutputKey, program.output);
    if (program.sleep) image += Line(kSleepKey, "1");
    for (size_t i = 0; i < program.commands.size(); ++i) {
        const std::string& executable = program.commands[i].at(0);
        const std::vector<std::string> arguments(program.commands[i].begin() + 1, program.commands[i].end());
        image += Line((kCommandKeyPrefix + std::to_string(i)).c_str(),
                      WideToUtf8(WindowsCommandLine(executable, arguments)));
    }
    image += Line(kExitKey, std::to_string(program.exitCode));
    WriteFile(path, image);
}

std::string SearchPathWith(const fs::path& folder) {
    const char* path = std::getenv("PATH");
    return Utf8FromPath(folder) + ";" + (path ? path : "");
}

bool ProcessEnded(uint32_t pid) {
    const HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!process) return true;
    const bool ended = ::WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    ::CloseHandle(process);
    return ended;
}

}  // namespace zuvelo::test
