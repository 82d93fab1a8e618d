#include "elevated/entry.h"
#include "platform/process_startup.h"

int main(int argc, char* argv[]) {
    zuvelo::platform::PrepareProcess();
    return zuvelo::HelperMain(argc, argv);
}
