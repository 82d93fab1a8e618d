#pragma once

#include <optional>
#include <string>
#include <vector>

namespace zuvelo {

// The whole run of ZuveloElevated after process preparation, given its decoded command line
// (nothing when it was not valid text: exit 1); returns the exit code.
int HelperMain(std::optional<std::vector<std::wstring>> arguments);

}  // namespace zuvelo
