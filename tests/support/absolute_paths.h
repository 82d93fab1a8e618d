#pragma once

#include <algorithm>
#include <string>

namespace zuvelo::test {

// An absolute path on the system the test runs on, for an example written from the
// root with "/": "/t/x" as it is on Linux, "C:\t\x" on Windows.
inline std::wstring AbsolutePath(std::wstring rooted) {
#ifdef _WIN32
    std::replace(rooted.begin(), rooted.end(), L'/', L'\\');
    return L"C:" + rooted;
#else
    return rooted;
#endif
}

}  // namespace zuvelo::test
