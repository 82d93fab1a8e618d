#pragma once

#include <string>

#include "common/error_codes.h"
#include "platform/file_lock.h"

// One change to an installation at a time on this machine: the exclusive lock
// on update.lock in the machine's lock folder (a private folder that only
// administrators, root on Linux, can write).
namespace zuvelo {

// Takes the lock into `lock` (held until it is released or destroyed). When
// another run holds it, INFO "Waiting for another update to finish" is logged
// once and the call waits. 0; 146 when the lock folder is refused (a link,
// another user's, open to others); the mapped code of a failure to lock.
// Log lines carry `component`.
ErrorCode HoldUpdateLock(platform::FileLock& lock, const std::string& component);

}  // namespace zuvelo
