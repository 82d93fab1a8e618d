#include "platform/process_startup.h"
#include "uninstall/uninstaller_entry.h"

int main(int argc, char* argv[]) {
    zuvelo::platform::PrepareProcess();
    return zuvelo::UninstallerMain(argc, argv);
}
