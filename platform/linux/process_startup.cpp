#include "platform/process_startup.h"

#include <unistd.h>

#include <csignal>

namespace zuvelo::platform {

void PrepareProcess() { std::signal(SIGPIPE, SIG_IGN); }

bool IsAdministrator() { return ::geteuid() == 0; }

bool IsProcessElevated() { return ::geteuid() == 0; }

ComApartment::ComApartment() = default;

ComApartment::~ComApartment() = default;

}  // namespace zuvelo::platform
