#pragma once

namespace zuvelo::test {

// Whether the tests run under Wine, whose shell and system calls differ from
// Windows in places (never on Linux).
bool RunningUnderWine();

}  // namespace zuvelo::test
