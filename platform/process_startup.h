#pragma once

namespace zuvelo::platform {

// Called first by both programs: a launcher that goes away must never kill
// them through SIGPIPE.
void PrepareProcess();

// The administrator check: the effective user is root.
bool IsAdministrator();

}  // namespace zuvelo::platform
