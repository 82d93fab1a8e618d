#include "tests/support/test_certificates.h"

#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <memory>
#include <stdexcept>

namespace zuvelo::test {

namespace {

struct OpenSslFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
    void operator()(X509* certificate) const { X509_free(certificate); }
    void operator()(X509_EXTENSION* extension) const { X509_EXTENSION_free(extension); }
    void operator()(BIO* bio) const { BIO_free(bio); }
    void operator()(ECDSA_SIG* signature) const { ECDSA_SIG_free(signature); }
};
using UniqueKey = std::unique_ptr<EVP_PKEY, OpenSslFree>;
using UniqueCertificate = std::unique_ptr<X509, OpenSslFree>;

void Check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("test certificate: ") + what);
}

UniqueKey MakeKey() {
    UniqueKey key(EVP_EC_gen("P-256"));
    Check(key != nullptr, "key generation");
    return key;
}

void AddExtension(X509* certificate, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    std::unique_ptr<X509_EXTENSION, OpenSslFree> extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
    Check(extension && X509_add_ext(certificate, extension.get(), -1) == 1, "extension");
}

int64_t RandomSerial() {
    uint64_t serial = 0;
    Check(RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial) == 1, "serial");
    return static_cast<int64_t>(serial >> 1) | 1;
}

void AddUsageExtensions(X509* certificate, X509* signer, CertificateUse use) {
    switch (use) {
        case CertificateUse::Authority:
            AddExtension(certificate, signer, NID_basic_constraints, "critical,CA:TRUE");
            AddExtension(certificate, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
            return;
        case CertificateUse::TlsServer:
            AddExtension(certificate, signer, NID_basic_constraints, "critical,CA:FALSE");
            AddExtension(certificate, signer, NID_key_usage, "critical,digitalSignature,keyEncipherment");
            AddExtension(certificate, signer, NID_ext_key_usage, "serverAuth");
            AddExtension(certificate, signer, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
            return;
        case CertificateUse::CodeSigning:
            AddExtension(certificate, signer, NID_basic_constraints, "critical,CA:FALSE");
            AddExtension(certificate, signer, NID_key_usage, "critical,digitalSignature");
            AddExtension(certificate, signer, NID_ext_key_usage, "codeSigning");
            return;
    }
}

// Wine's certificate check now and then rejects a valid ECDSA signature: one whose r
// or s is shorter than the curve's 32 bytes. Signing again draws a new r and s.
bool HasFullLengthSignatureValues(const X509* certificate) {
    const ASN1_BIT_STRING* signature = nullptr;
    X509_get0_signature(&signature, nullptr, certificate);
    const unsigned char* der = signature->data;
    std::unique_ptr<ECDSA_SIG, OpenSslFree> values(d2i_ECDSA_SIG(nullptr, &der, signature->length));
    Check(values != nullptr, "ECDSA signature");
    return BN_num_bytes(ECDSA_SIG_get0_r(values.get())) == 32 && BN_num_bytes(ECDSA_SIG_get0_s(values.get())) == 32;
}

// issuer null: self-signed.
UniqueCertificate MakeCertificate(const CertificateRequest& request, EVP_PKEY* key, X509* issuer,
                                  EVP_PKEY* issuerKey) {
    UniqueCertificate certificate(X509_new());
    X509* x = certificate.get();
    Check(x && X509_set_version(x, X509_VERSION_3) == 1, "version");
    Check(ASN1_INTEGER_set_int64(X509_get_serialNumber(x), RandomSerial()) == 1, "serial");
    Check(X509_gmtime_adj(X509_getm_notBefore(x), request.notBefore) &&
              X509_gmtime_adj(X509_getm_notAfter(x), request.notAfter),
          "validity");
    Check(X509_set_pubkey(x, key) == 1, "public key");
    X509_NAME* name = X509_get_subject_name(x);
    Check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                     reinterpret_cast<const unsigned char*>(request.commonName.c_str()), -1, -1,
                                     0) == 1,
          "name");
    Check(X509_set_issuer_name(x, issuer ? X509_get_subject_name(issuer) : name) == 1, "issuer");
    X509* signer = issuer ? issuer : x;
    AddExtension(x, signer, NID_subject_key_identifier, "hash");
    if (issuer) AddExtension(x, signer, NID_authority_key_identifier, "keyid:always");
    AddUsageExtensions(x, signer, request.use);
    do {
        Check(X509_sign(x, issuerKey ? issuerKey : key, EVP_sha256()) > 0, "signature");
    } while (!HasFullLengthSignatureValues(x));
    return certificate;
}

template <typename Writer>
std::string ToPem(Writer write) {
    std::unique_ptr<BIO, OpenSslFree> bio(BIO_new(BIO_s_mem()));
    Check(bio && write(bio.get()) == 1, "PEM");
    char* data = nullptr;
    long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(size));
}

std::unique_ptr<BIO, OpenSslFree> PemSource(const std::string& pem) {
    std::unique_ptr<BIO, OpenSslFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    Check(bio != nullptr, "PEM source");
    return bio;
}

TestIdentity IdentityOf(X509* certificate, EVP_PKEY* key) {
    return {ToPem([&](BIO* bio) { return PEM_write_bio_X509(bio, certificate); }), ToPem([&](BIO* bio) {
                return PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
            })};
}

}  // namespace

TestIdentity MakeTestIdentity(const CertificateRequest& request, const TestIdentity* issuer) {
    UniqueKey key = MakeKey();
    if (!issuer) return IdentityOf(MakeCertificate(request, key.get(), nullptr, nullptr).get(), key.get());
    UniqueCertificate issuerCertificate(
        PEM_read_bio_X509(PemSource(issuer->certificatePem).get(), nullptr, nullptr, nullptr));
    UniqueKey issuerKey(PEM_read_bio_PrivateKey(PemSource(issuer->keyPem).get(), nullptr, nullptr, nullptr));
    Check(issuerCertificate && issuerKey, "issuer");
    return IdentityOf(MakeCertificate(request, key.get(), issuerCertificate.get(), issuerKey.get()).get(), key.get());
}

TestCertificates MakeTestCertificates(const TestIdentity& authority) {
    const TestIdentity server = MakeTestIdentity({"127.0.0.1", CertificateUse::TlsServer}, &authority);
    return {authority.certificatePem, server.certificatePem, server.keyPem};
}

}  // namespace zuvelo::test
