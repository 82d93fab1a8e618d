#include <fstream>
#include <ios>
#include <system_error>
#include <utility>

#include "manifest/canonical_manifest.h"
#include "manifest/manifest_handler.h"
#include "manifest/manifest_log.h"

namespace zuvelo {

namespace {

// A file in the cache that exists for one verification. Remove() reports a
// failure as the filesystem error it is; the destructor removes quietly on
// every other path.
class ScopedTempFile {
public:
    explicit ScopedTempFile(std::filesystem::path path) : path_(std::move(path)) {}
    ~ScopedTempFile() {
        std::error_code ignored;
        if (!removed_) std::filesystem::remove(path_, ignored);
    }
    ScopedTempFile(const ScopedTempFile&) = delete;
    ScopedTempFile& operator=(const ScopedTempFile&) = delete;

    const std::filesystem::path& path() const { return path_; }

    bool Write(const std::string& bytes, std::ios::openmode mode) {
        std::ofstream out(path_, mode | std::ios::out | std::ios::trunc);
        if (!out.is_open()) return false;
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        return !out.fail();
    }

    void Remove() {
        removed_ = true;
        std::filesystem::remove(path_);
    }

private:
    std::filesystem::path path_;
    bool removed_ = false;
};

}  // namespace

ErrorCode ManifestHandler::VerifyManifestSignature(const UpdateManifest& manifest) {
    if (manifest.schemaOverride) {
        kManifestLog.Debug("Skipping manifest signature verification (schema override)");
        return ErrorCode::Success;
    }
    kManifestLog.Debug("Verifying manifest signature");
    if (manifest.signature.empty()) {
        kManifestLog.Error("No signature provided for verification (required for all manifests)");
        return ErrorCode::ManifestSignatureInvalid;
    }
    if (!Succeeded(VerifyManifestCmsSignature(CanonicalManifestText(manifest), manifest.signature))) {
        kManifestLog.Error("Manifest signature verification failed");
        return ErrorCode::ManifestSignatureInvalid;
    }
    // Without a trusted key the signature was only read, never checked.
    if (!cryptoVerifier_.HasTrustedKeys()) {
        kManifestLog.Warning("Manifest signature not verified: no trusted key is configured");
        return ErrorCode::Success;
    }
    kManifestLog.Info("Manifest signature verified successfully");
    return ErrorCode::Success;
}

ErrorCode ManifestHandler::VerifyManifestCmsSignature(const std::string& data, const std::string& signature) {
    kManifestLog.Debug("Verifying manifest CMS signature");
    ScopedTempFile dataFile(TemporaryPath("manifest_data"));
    ScopedTempFile signatureFile(TemporaryPath("manifest_sig"));
    if (!dataFile.Write(data, std::ios::openmode{})) return ErrorCode::FileAccessDenied;
    if (!signatureFile.Write(signature, std::ios::binary)) return ErrorCode::FileAccessDenied;
    const ErrorCode result = cryptoVerifier_.VerifyDetachedSignature(dataFile.path(), signatureFile.path());
    dataFile.Remove();
    signatureFile.Remove();
    return result;
}

}  // namespace zuvelo
