#include <cstdlib>
#include <fstream>
#include <iterator>

#include "tests/support/fake_program.h"
#include "tests/support/test_folders.h"

namespace zuvelo::test {

namespace fs = std::filesystem;

namespace {

// One word for the shell, whatever it holds.
std::string Quoted(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// The script's interpreter holds the script open; find, in a subshell, lists
// the shell's descriptors from outside, so its own do not count.
std::string DescriptorListing(const fs::path& self, const fs::path& listing) {
    std::string pattern;  // the script's own path, matched literally
    for (const char c : fs::weakly_canonical(self).string()) {
        if (c == '*' || c == '?' || c == '[' || c == '\\') pattern += '\\';
        pattern += c;
    }
    return "( exec > " + Quoted(listing) + "; exec find /proc/$$/fd -mindepth 1 ! -name 0 ! -name 1 ! -name 2 ! -lname " +
           Quoted(pattern) + " -printf '%f %l\\n' )\n";
}

}  // namespace

void WriteFakeProgram(const fs::path& path, const FakeProgram& program) {
    std::string script = "#!/bin/sh\n";
    if (!program.argumentsFile.empty()) script += "echo \"$@\" > " + Quoted(program.argumentsFile) + "\n";
    if (!program.descriptorsFile.empty()) script += DescriptorListing(path, program.descriptorsFile);
    if (program.undeletable) script += "rm -f " + Quoted(path) + "; mkdir -p " + Quoted(path / "x") + "\n";
    if (!program.pidsFile.empty()) script += "echo $$ > " + Quoted(program.pidsFile) + "\n";
    if (program.sleepingChild) {
        script += "sleep 60 &\n";
        if (!program.pidsFile.empty()) script += "echo $! >> " + Quoted(program.pidsFile) + "\n";
    }
    if (!program.output.empty()) script += "printf '%s' " + Quoted(program.output) + "\n";
    if (program.sleep) script += "sleep 60\n";
    for (const std::vector<std::string>& command : program.commands) {
        for (const std::string& word : command) script += Quoted(word) + " ";
        script += "\n";
    }
    script += "exit " + std::to_string(program.exitCode) + "\n";
    WriteFile(path, script);
    fs::permissions(path, fs::perms::owner_all);
}

std::string SearchPathWith(const fs::path& folder) {
    const char* path = std::getenv("PATH");
    return folder.string() + ":" + (path ? path : "/usr/bin:/bin");
}

bool ProcessEnded(uint32_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    const std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = stat.rfind(')');
    return close == std::string::npos || stat.compare(close + 2, 1, "Z") == 0;
}

}  // namespace zuvelo::test
