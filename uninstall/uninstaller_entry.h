#pragma once

// The entry of ZuveloUninstall.
namespace zuvelo {

// Parses the command line, checks the rights, runs one uninstall and prints its
// summary or failure: the exit code (0, 1, 2, 141 or the removal's code).
int RunUninstaller(int argc, wchar_t* argv[]);

// The program after process preparation: decodes the command line (not UTF-8:
// exit 1) and runs RunUninstaller, turning an exception that escapes it into a
// FATAL event and exit 4.
int UninstallerMain(int argc, char* argv[]);

}  // namespace zuvelo
