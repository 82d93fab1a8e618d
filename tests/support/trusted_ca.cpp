#include "tests/support/trusted_ca.h"

#ifdef _WIN32
#include <windows.h>
#include <wincrypt.h>
#endif

#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/scoped_env.h"
#include "tests/support/test_folders.h"

namespace zuvelo::test {

namespace fs = std::filesystem;

#ifdef _WIN32
namespace {

struct StoreCloser {
    void operator()(HCERTSTORE store) const { ::CertCloseStore(store, 0); }
};
using UniqueStore = std::unique_ptr<void, StoreCloser>;

struct CertificateFree {
    void operator()(PCCERT_CONTEXT certificate) const { ::CertFreeCertificateContext(certificate); }
};
using UniqueCertificate = std::unique_ptr<const CERT_CONTEXT, CertificateFree>;

// Changes reach the registry when the store closes.
UniqueStore OpenMachineRoot() {
    UniqueStore store(::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root"));
    if (!store) throw std::runtime_error("cannot open the machine's Root store: " + std::to_string(::GetLastError()));
    return store;
}

UniqueCertificate CertificateFromPem(const std::string& pem) {
    DWORD size = 0;
    const DWORD length = static_cast<DWORD>(pem.size());
    ::CryptStringToBinaryA(pem.c_str(), length, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr);
    std::vector<BYTE> der(size);
    if (size == 0 ||
        !::CryptStringToBinaryA(pem.c_str(), length, CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr))
        throw std::runtime_error("not a PEM certificate");
    UniqueCertificate certificate(::CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), size));
    if (!certificate) throw std::runtime_error("not a certificate");
    return certificate;
}

UniqueCertificate FindIn(HCERTSTORE store, PCCERT_CONTEXT certificate) {
    return UniqueCertificate(
        ::CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, certificate, nullptr));
}

}  // namespace

struct ScopedTrustedCa::State {
    UniqueCertificate certificate;
    bool added = false;
};

ScopedTrustedCa::ScopedTrustedCa(const fs::path& caFile) : state_(std::make_unique<State>()) {
    state_->certificate = CertificateFromPem(ReadFile(caFile));
    UniqueStore root = OpenMachineRoot();
    if (FindIn(root.get(), state_->certificate.get())) return;
    if (!::CertAddCertificateContextToStore(root.get(), state_->certificate.get(), CERT_STORE_ADD_NEW, nullptr))
        throw std::runtime_error("cannot add the test CA to the Root store: " + std::to_string(::GetLastError()));
    state_->added = true;
}

ScopedTrustedCa::~ScopedTrustedCa() {
    if (!state_->added) return;
    try {
        UniqueStore root = OpenMachineRoot();
        // Deleting frees the context found.
        if (UniqueCertificate found = FindIn(root.get(), state_->certificate.get()))
            ::CertDeleteCertificateFromStore(found.release());
    } catch (...) {
        // The test's own prefix or machine keeps a stale test CA; nothing to fail over.
    }
}
#else
struct ScopedTrustedCa::State {
    explicit State(const fs::path& caFile) : file("SSL_CERT_FILE", caFile.string()) {}
    ScopedEnvironmentVariable file;
};

ScopedTrustedCa::ScopedTrustedCa(const fs::path& caFile) : state_(std::make_unique<State>(caFile)) {}

ScopedTrustedCa::~ScopedTrustedCa() = default;
#endif

}  // namespace zuvelo::test
