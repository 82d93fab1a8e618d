#pragma once

#include <optional>
#include <string>
#include <vector>

// The entry of ZuveloUninstall.
namespace zuvelo {

// Parses the command line, checks the rights, runs one uninstall and prints its
// summary or failure: the exit code (0, 1, 2, 141 or the removal's code).
int RunUninstaller(int argc, wchar_t* argv[]);

// The program after process preparation, given its decoded command line (nothing when
// it was not valid text: exit 1): runs RunUninstaller, turning an exception that escapes it into a
// FATAL event and exit 4.
int UninstallerMain(std::optional<std::vector<std::wstring>> arguments);

}  // namespace zuvelo
