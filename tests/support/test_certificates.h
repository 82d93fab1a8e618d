#pragma once

#include <string>

namespace zuvelo::test {

// A throw-away CA and a server certificate it signed, valid for 127.0.0.1 and
// localhost, all in PEM. Made afresh for every server; never stored in the tree.
struct TestCertificates {
    std::string caCertificatePem;
    std::string serverCertificatePem;
    std::string serverKeyPem;
};

TestCertificates MakeTestCertificates();

}  // namespace zuvelo::test
