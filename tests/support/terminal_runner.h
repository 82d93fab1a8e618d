#pragma once

#include <map>
#include <string>
#include <vector>

#include "tests/support/program_runner.h"

namespace zuvelo::test {

// Runs a program with a new pseudo-terminal as its standard input, output and
// error (this process's environment plus the given variables), types `typed`
// into the terminal followed by end of input, and returns the exit code and all
// the terminal showed in `out`, with "\r\n" turned into "\n".
ProgramResult RunInTerminal(const std::string& program, const std::vector<std::string>& arguments,
                            const std::map<std::string, std::string>& environment, const std::string& typed);

}  // namespace zuvelo::test
