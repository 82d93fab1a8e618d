#pragma once

namespace zuvelo {

// The whole run of ZuveloElevated after process preparation; returns the exit code.
int HelperMain(int argc, char* argv[]);

}  // namespace zuvelo
