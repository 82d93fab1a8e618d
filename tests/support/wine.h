#pragma once

namespace zuvelo::test {

// The tests run under Wine: a Windows build run on Linux. False on Linux and on Windows itself.
bool RunningUnderWine();

}  // namespace zuvelo::test
