#pragma once

#include <string>

#include "common/jsonl_logger.h"

namespace zuvelo {

// The diagnostic lines of PrereqInstaller, whose work is spread over several files.
inline constexpr ComponentLogger kPrereqLog{"PrereqInstaller"};

}  // namespace zuvelo
