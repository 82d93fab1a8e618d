// Runs a program while a test CA is trusted by the machine (the demo's Windows run):
//   zuvelo_with_trusted_ca CA.pem PROGRAM [ARGUMENTS...]
// Its output and exit code are the program's; afterwards the CA is trusted no longer.
#include <iostream>
#include <string>
#include <vector>

#include "common/text.h"
#include "tests/support/program_runner.h"
#include "tests/support/trusted_ca.h"

int main(int argc, char* argv[]) {
    if (argc < 3) {
        std::cerr << "usage: zuvelo_with_trusted_ca CA.pem PROGRAM [ARGUMENTS...]\n";
        return 2;
    }
    const zuvelo::test::ScopedTrustedCa trusted(zuvelo::PathFromUtf8(argv[1]));
    const std::vector<std::string> arguments(argv + 3, argv + argc);
    const zuvelo::test::ProgramResult result = zuvelo::test::RunProgram(argv[2], arguments);
    std::cout << result.out << std::flush;
    std::cerr << result.err << std::flush;
    return result.exitCode;
}
