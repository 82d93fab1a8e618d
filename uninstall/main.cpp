#include "common/command_arguments.h"
#include "uninstall/uninstaller_entry.h"
#include "platform/console.h"
#include "platform/process_startup.h"

#ifdef _WIN32
// The wide command line: arguments never pass through the ANSI code page.
int wmain(int argc, wchar_t* argv[]) {
#else
int main(int argc, char* argv[]) {
#endif
    zuvelo::platform::PrepareProcess();
    zuvelo::platform::PrepareConsoleStreams();
    return zuvelo::UninstallerMain(zuvelo::DecodeArguments(argc, argv));
}
