#pragma once

#include <string>

namespace zuvelo::test {

// A throw-away CA and a server certificate it signed, valid for 127.0.0.1 and
// localhost, all in PEM. Made at test time; never stored in the tree.
struct TestCertificates {
    std::string caCertificatePem;
    std::string serverCertificatePem;
    std::string serverKeyPem;
};

struct TestIdentity;

// A fresh server certificate signed by the CA authority.
TestCertificates MakeTestCertificates(const TestIdentity& authority);

// What a test certificate is for.
enum class CertificateUse { Authority, TlsServer, CodeSigning };

struct CertificateRequest {
    std::string commonName;
    CertificateUse use = CertificateUse::Authority;
    // Validity, in seconds from now.
    long notBefore = -3600;
    long notAfter = 7L * 24 * 3600;
};

// A certificate and its private key, in PEM.
struct TestIdentity {
    std::string certificatePem;
    std::string keyPem;
};

// A fresh key and its certificate, signed by issuer (null: self-signed).
TestIdentity MakeTestIdentity(const CertificateRequest& request, const TestIdentity* issuer = nullptr);

}  // namespace zuvelo::test
