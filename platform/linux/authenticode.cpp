#include "platform/authenticode.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <memory>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/file_io.h"
#include "platform/linux/machine_root.h"
#include "platform/pe_image.h"
#include "platform/unique_fd.h"

namespace zuvelo::platform {

namespace {

namespace fs = std::filesystem;

constexpr const char* kSpcIndirectDataOid = "1.3.6.1.4.1.311.2.1.4";
constexpr const char* kSpcPeImageDataOid = "1.3.6.1.4.1.311.2.1.15";
constexpr size_t kReadPiece = 1024 * 1024;

struct OpenSslFree {
    void operator()(PKCS7* p) const { PKCS7_free(p); }
    void operator()(BIO* p) const { BIO_free(p); }
    void operator()(X509_SIG* p) const { X509_SIG_free(p); }
    void operator()(ASN1_OBJECT* p) const { ASN1_OBJECT_free(p); }
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
    void operator()(X509_STORE* p) const { X509_STORE_free(p); }
    void operator()(X509_STORE_CTX* p) const { X509_STORE_CTX_free(p); }
    void operator()(STACK_OF(X509) * p) const { sk_X509_free(p); }  // the certificates stay the signature's
};
template <typename T>
using Owned = std::unique_ptr<T, OpenSslFree>;

// Leaves no OpenSSL error behind for the next user of the library in this thread.
struct ClearOpenSslErrors {
    ~ClearOpenSslErrors() { ERR_clear_error(); }
};

// What the signature says about the image (SpcIndirectDataContent).
struct IndirectData {
    const unsigned char* content = nullptr;  // its SEQUENCE's content octets: what messageDigest covers
    size_t contentSize = 0;
    const EVP_MD* digest = nullptr;
    std::vector<unsigned char> imageDigest;
};

// ---------------------------------------------------------------------------------
// The signature's structure.

std::string ObjectText(const ASN1_OBJECT* object) {
    char text[128];
    const int length = OBJ_obj2txt(text, sizeof text, object, 1);
    return length > 0 && static_cast<size_t>(length) < sizeof text ? std::string(text, length) : std::string();
}

// Steps into the DER SEQUENCE at p: p moves to its first content byte. Returns
// the end of its content, or nullptr when no such SEQUENCE ends before end.
const unsigned char* EnterSequence(const unsigned char*& p, const unsigned char* end) {
    long length = 0;
    int tag = 0;
    int cls = 0;
    const int flags = ASN1_get_object(&p, &length, &tag, &cls, end - p);
    if (flags != V_ASN1_CONSTRUCTED || tag != V_ASN1_SEQUENCE || cls != V_ASN1_UNIVERSAL) return nullptr;
    return p + length;
}

// The entry holds the DER of a SignedData and at most its zero padding to 8 bytes:
// other bytes there would be covered by neither the digest nor the signature.
Owned<PKCS7> ParseSignedData(const std::vector<unsigned char>& entry) {
    const unsigned char* p = entry.data();
    Owned<PKCS7> signedData(d2i_PKCS7(nullptr, &p, static_cast<long>(entry.size())));
    if (!signedData || !PKCS7_type_is_signed(signedData.get()) || !signedData->d.sign) return nullptr;
    const unsigned char* end = entry.data() + entry.size();
    if (end - p >= 8 || std::any_of(p, end, [](unsigned char b) { return b != 0; })) return nullptr;
    return signedData;
}

// The SpcIndirectDataContent of a signature made for a PE image.
bool ReadIndirectData(PKCS7* signedData, IndirectData& out) {
    const PKCS7* content = signedData->d.sign->contents;
    if (!content || !content->type || ObjectText(content->type) != kSpcIndirectDataOid) return false;
    const ASN1_TYPE* value = content->d.other;
    if (!value || value->type != V_ASN1_SEQUENCE || !value->value.sequence) return false;
    const unsigned char* p = value->value.sequence->data;
    const unsigned char* end = p + value->value.sequence->length;
    if (EnterSequence(p, end) != end) return false;
    out.content = p;
    out.contentSize = static_cast<size_t>(end - p);

    // data: SpcAttributeTypeAndOptionalValue, naming a PE image.
    const unsigned char* dataEnd = EnterSequence(p, end);
    if (!dataEnd) return false;
    const Owned<ASN1_OBJECT> type(d2i_ASN1_OBJECT(nullptr, &p, dataEnd - p));
    if (!type || ObjectText(type.get()) != kSpcPeImageDataOid) return false;
    p = dataEnd;

    // messageDigest: a DigestInfo.
    const Owned<X509_SIG> digestInfo(d2i_X509_SIG(nullptr, &p, end - p));
    if (!digestInfo || p != end) return false;
    const X509_ALGOR* algorithm = nullptr;
    const ASN1_OCTET_STRING* digest = nullptr;
    X509_SIG_get0(digestInfo.get(), &algorithm, &digest);
    const ASN1_OBJECT* algorithmObject = nullptr;
    X509_ALGOR_get0(&algorithmObject, nullptr, nullptr, algorithm);
    out.digest = EVP_get_digestbyobj(algorithmObject);
    out.imageDigest.assign(digest->data, digest->data + digest->length);
    return out.digest != nullptr;
}

// ---------------------------------------------------------------------------------
// The image digest.

// Feeds [from, to) of the file to the digest, a piece at a time.
int32_t HashRange(int fd, uint64_t from, uint64_t to, EVP_MD_CTX* context, unsigned char* buffer) {
    while (from < to) {
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(to - from, kReadPiece));
        size_t got = 0;
        if (ReadAt(fd, buffer, piece, from, got) != 0 || got != piece) return trust::kFileError;
        if (EVP_DigestUpdate(context, buffer, piece) != 1) return trust::kFail;
        from += piece;
    }
    return trust::kSuccess;
}

// The file up to its certificate table, less the CheckSum field and the
// certificate table's directory entry, against the digest that was signed.
int32_t CheckImageDigest(int fd, const PeHeaders& headers, const IndirectData& indirect) {
    const Owned<EVP_MD_CTX> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), indirect.digest, nullptr) != 1) return trust::kFail;
    const uint64_t entry = headers.DirectoryEntryOffset(kPeCertificateDirectory);
    const uint64_t table = headers.dataDirectories[kPeCertificateDirectory].virtualAddress;
    const std::pair<uint64_t, uint64_t> ranges[] = {
        {0, headers.checksumOffset}, {headers.checksumOffset + 4, entry}, {entry + 8, table}};
    const auto buffer = std::make_unique_for_overwrite<unsigned char[]>(kReadPiece);
    for (const auto& [from, to] : ranges) {
        if (const int32_t result = HashRange(fd, from, to, context.get(), buffer.get())) return result;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1) return trust::kFail;
    const bool same = indirect.imageDigest.size() == length &&
                      std::equal(digest, digest + length, indirect.imageDigest.begin());
    return same ? trust::kSuccess : trust::kBadDigest;
}

// ---------------------------------------------------------------------------------
// The signer.

bool OpenSslQueueHolds(int library, int reason) {
    while (const unsigned long error = ERR_get_error()) {
        if (ERR_GET_LIB(error) == library && ERR_GET_REASON(error) == reason) return true;
    }
    return false;
}

// Whether PKCS7_verify can set up a digest for the algorithm, found as it finds
// it (OpenSSL 3.0): fetched by the object's name (cut to 49 characters), else
// looked up by that name. A signature algorithm such as sha1WithRSA is not one.
bool Pkcs7FindsDigest(const X509_ALGOR* algorithm) {
    const ASN1_OBJECT* object = nullptr;
    X509_ALGOR_get0(&object, nullptr, nullptr, algorithm);
    char name[50];
    OBJ_obj2txt(name, sizeof name, object, 0);
    ERR_set_mark();
    EVP_MD* fetched = EVP_MD_fetch(nullptr, name, nullptr);
    const bool found = fetched != nullptr || EVP_get_digestbyname(name) != nullptr;
    EVP_MD_free(fetched);
    ERR_pop_to_mark();
    return found;
}

// PKCS7_verify loses its copy of the content when it cannot set up a digest
// that the SignedData lists, so such a signature is refused before it is asked.
bool ListsOnlyKnownDigests(PKCS7* signedData) {
    const STACK_OF(X509_ALGOR)* algorithms = signedData->d.sign->md_algs;
    for (int i = 0; i < sk_X509_ALGOR_num(algorithms); ++i) {
        if (!Pkcs7FindsDigest(sk_X509_ALGOR_value(algorithms, i))) return false;
    }
    return true;
}

// The one signer's signature over its signed attributes, whose messageDigest
// must be the digest of the SpcIndirectDataContent's content octets.
int32_t CheckSignerSignature(PKCS7* signedData, const IndirectData& indirect) {
    if (sk_PKCS7_SIGNER_INFO_num(PKCS7_get_signer_info(signedData)) != 1) return trust::kFail;
    if (!ListsOnlyKnownDigests(signedData)) return trust::kFail;
    const Owned<BIO> content(BIO_new_mem_buf(indirect.content, static_cast<int>(indirect.contentSize)));
    if (!content) return trust::kFail;
    // The chain is checked apart, against the code-signing roots and usage.
    if (PKCS7_verify(signedData, nullptr, nullptr, content.get(), nullptr, PKCS7_NOVERIFY) == 1) return trust::kSuccess;
    return OpenSslQueueHolds(ERR_LIB_PKCS7, PKCS7_R_DIGEST_FAILURE) ? trust::kBadDigest : trust::kFail;
}

// The PEM files of trust/code-signing/; a file that does not load adds no root.
Owned<X509_STORE> LoadCodeSigningRoots() {
    Owned<X509_STORE> store(X509_STORE_new());
    if (!store) return nullptr;
    std::error_code ec;
    const fs::path folder = MachineRoot() / "trust" / "code-signing";
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().extension() == ".pem") X509_STORE_load_file(store.get(), it->path().c_str());
    }
    return store;
}

int32_t ChainFailure(int error) {
    switch (error) {
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_CERT_NOT_YET_VALID: return trust::kExpired;
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_CERT_UNTRUSTED: return trust::kUntrustedRoot;
        default: return trust::kFail;
    }
}

// The signer's certificate names code signing among its usages; the others of
// the chain, when they restrict their usages at all, include it.
bool ChainAllowsCodeSigning(STACK_OF(X509) * chain) {
    for (int i = 0; i < sk_X509_num(chain); ++i) {
        X509* certificate = sk_X509_value(chain, i);
        const bool restricted = (X509_get_extension_flags(certificate) & EXFLAG_XKUSAGE) != 0;
        if (i == 0 && !restricted) return false;
        if ((X509_get_extended_key_usage(certificate) & XKU_CODE_SIGN) == 0) return false;
    }
    return true;
}

// The signer's chain, with the signature's certificates as intermediates, to a
// trusted root, valid now; no revocation check.
int32_t VerifySignerChain(PKCS7* signedData, X509_STORE* roots) {
    const Owned<STACK_OF(X509)> signers(PKCS7_get0_signers(signedData, nullptr, 0));
    if (!signers || sk_X509_num(signers.get()) != 1) return trust::kFail;
    const Owned<X509_STORE_CTX> context(X509_STORE_CTX_new());
    if (!context ||
        X509_STORE_CTX_init(context.get(), roots, sk_X509_value(signers.get(), 0), signedData->d.sign->cert) != 1) {
        return trust::kFail;
    }
    if (X509_verify_cert(context.get()) != 1) return ChainFailure(X509_STORE_CTX_get_error(context.get()));
    return ChainAllowsCodeSigning(X509_STORE_CTX_get0_chain(context.get())) ? trust::kSuccess : trust::kFail;
}

// ---------------------------------------------------------------------------------

int32_t OpenSubject(const fs::path& file, UniqueFd& fd) {
    FileStat stat;
    if (OpenForReadingNoFollow(file, fd) != 0 || StatFd(fd.get(), stat) != 0 || !stat.IsRegular()) {
        return trust::kFileError;
    }
    return trust::kSuccess;
}

int32_t ReadHeaders(int fd, PeHeaders& headers) {
    switch (ReadPeHeaders(fd, headers)) {
        case PeReadResult::Ok: return trust::kSuccess;
        case PeReadResult::NotPe: return trust::kSubjectFormUnknown;
        case PeReadResult::ReadFailed: break;
    }
    return trust::kFileError;
}

int32_t ReadCertificate(int fd, const PeHeaders& headers, std::vector<unsigned char>& certificate) {
    switch (ReadSignedData(fd, headers, certificate)) {
        case CertificateTableResult::Ok: return trust::kSuccess;
        case CertificateTableResult::NoTable:
        case CertificateTableResult::NotSignedData: return trust::kNoSignature;
        case CertificateTableResult::Malformed: return trust::kFail;
        case CertificateTableResult::ReadFailed: break;
    }
    return trust::kFileError;
}

}  // namespace

int32_t VerifyAuthenticode(const fs::path& file) {
    const ClearOpenSslErrors clearErrors;
    UniqueFd fd;
    PeHeaders headers;
    std::vector<unsigned char> certificate;
    if (const int32_t result = OpenSubject(file, fd)) return result;
    if (const int32_t result = ReadHeaders(fd.get(), headers)) return result;
    if (const int32_t result = ReadCertificate(fd.get(), headers, certificate)) return result;

    const Owned<PKCS7> signedData = ParseSignedData(certificate);
    IndirectData indirect;
    if (!signedData || !ReadIndirectData(signedData.get(), indirect)) return trust::kFail;
    if (const int32_t result = CheckImageDigest(fd.get(), headers, indirect)) return result;
    if (const int32_t result = CheckSignerSignature(signedData.get(), indirect)) return result;

    const Owned<X509_STORE> roots = LoadCodeSigningRoots();
    if (!roots) return trust::kFail;
    return VerifySignerChain(signedData.get(), roots.get());
}

}  // namespace zuvelo::platform
