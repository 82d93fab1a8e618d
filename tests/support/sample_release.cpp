#include "tests/support/sample_release.h"

#include <openssl/evp.h>

#include <json/writer.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <memory>
#include <stdexcept>

#include "tests/support/test_folders.h"

namespace zuvelo::test {

namespace fs = std::filesystem;

namespace {

struct DigestFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

// SHA-256 fed in pieces.
class Sha256 {
public:
    Sha256() : context_(EVP_MD_CTX_new()) {
        if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1)
            throw std::runtime_error("SHA-256 init failed");
    }
    void Add(std::string_view bytes) {
        if (EVP_DigestUpdate(context_.get(), bytes.data(), bytes.size()) != 1)
            throw std::runtime_error("SHA-256 update failed");
    }
    std::string HexDigest() {
        std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
        unsigned int length = 0;
        if (EVP_DigestFinal_ex(context_.get(), digest.data(), &length) != 1)
            throw std::runtime_error("SHA-256 final failed");
        static const char kHex[] = "0123456789abcdef";
        std::string hex;
        for (unsigned int i = 0; i < length; ++i) {
            hex += kHex[digest[i] >> 4];
            hex += kHex[digest[i] & 0xF];
        }
        return hex;
    }

private:
    std::unique_ptr<EVP_MD_CTX, DigestFree> context_;
};

// xorshift64*: fast, and its bytes do not compress.
class ByteStream {
public:
    explicit ByteStream(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
    void Fill(std::string& block) {
        for (size_t i = 0; i + 8 <= block.size(); i += 8) {
            state_ ^= state_ >> 12;
            state_ ^= state_ << 25;
            state_ ^= state_ >> 27;
            const uint64_t value = state_ * 0x2545F4914F6CDD1Dull;
            for (int b = 0; b < 8; ++b) block[i + static_cast<size_t>(b)] = static_cast<char>(value >> (8 * b));
        }
    }

private:
    uint64_t state_;
};

Json::Value CanonicalFile(const ReleaseEntry& entry) {
    Json::Value file(Json::objectValue);
    file["relativePath"] = entry.path;
    file["sha256Hash"] = entry.sha256;
    file["size"] = Json::UInt64(entry.size);
    if (entry.executable) file["isExecutable"] = true;
    if (!entry.required) file["isRequired"] = false;
    if (!entry.downloadUrl.empty()) file["downloadUrl"] = entry.downloadUrl;
    // The parser gives an entry without the key "644".
    file["permissions"] = entry.permissions.empty() ? std::string("644") : entry.permissions;
    return file;
}

Json::Value LegacyFile(const ReleaseEntry& entry) {
    Json::Value file(Json::objectValue);
    file["path"] = entry.path;
    file["sha256"] = entry.sha256;
    file["size"] = Json::UInt64(entry.size);
    if (entry.executable) file["isExecutable"] = true;
    if (!entry.required) file["isRequired"] = false;
    if (!entry.downloadUrl.empty()) file["downloadUrl"] = entry.downloadUrl;
    if (!entry.permissions.empty()) file["permissions"] = entry.permissions;
    return file;
}

uint64_t TotalSize(const std::vector<ReleaseEntry>& entries) {
    uint64_t total = 0;
    for (const ReleaseEntry& entry : entries) total += entry.size;
    return total;
}

std::string CompactText(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, value);
}

}  // namespace

std::string Sha256Hex(std::string_view bytes) {
    Sha256 digest;
    digest.Add(bytes);
    return digest.HexDigest();
}

std::string ServedPath(const ReleaseEntry& entry) { return "files/" + entry.sha256.substr(0, 8) + "/" + entry.path; }

ReleaseEntry EntryOf(const ReleaseFile& file) {
    ReleaseEntry entry;
    entry.path = file.path;
    entry.sha256 = Sha256Hex(file.content);
    entry.size = file.content.size();
    entry.required = file.required;
    entry.permissions = file.permissions;
    entry.executable = file.executable;
    return entry;
}

ReleaseEntry PublishFile(const fs::path& serverRoot, const ReleaseFile& file) {
    ReleaseEntry entry = EntryOf(file);
    WriteFile(serverRoot / ServedPath(entry), file.content);
    return entry;
}

std::vector<ReleaseEntry> PublishFiles(const fs::path& serverRoot, const std::vector<ReleaseFile>& files) {
    std::vector<ReleaseEntry> entries;
    for (const ReleaseFile& file : files) entries.push_back(PublishFile(serverRoot, file));
    return entries;
}

ReleaseEntry PublishGeneratedFile(const fs::path& serverRoot, const std::string& path, uint64_t size, uint64_t seed) {
    // The hash names the folder, so the bytes go to a staging name first.
    const fs::path staging = serverRoot / (".staging-" + std::to_string(seed));
    Sha256 digest;
    {
        std::ofstream out(staging, std::ios::binary | std::ios::trunc);
        ByteStream bytes(seed);
        std::string block(static_cast<size_t>((std::min<uint64_t>(size, 1 << 20) + 7) / 8 * 8), '\0');
        for (uint64_t left = size; left > 0;) {
            bytes.Fill(block);
            const size_t piece = static_cast<size_t>(std::min<uint64_t>(left, block.size()));
            out.write(block.data(), static_cast<std::streamsize>(piece));
            digest.Add(std::string_view(block.data(), piece));
            left -= piece;
        }
        if (!out.flush()) {
            fs::remove(staging);
            throw std::runtime_error("cannot write " + staging.string());
        }
    }
    ReleaseEntry entry;
    entry.path = path;
    entry.sha256 = digest.HexDigest();
    entry.size = size;
    const fs::path served = serverRoot / ServedPath(entry);
    fs::create_directories(served.parent_path());
    fs::rename(staging, served);
    return entry;
}

std::string CanonicalLegacyText(const std::vector<ReleaseEntry>& entries, const LegacyFields& fields) {
    Json::Value document(Json::objectValue);
    document["version"] = fields.version;
    document["gameVersion"] = fields.gameVersion;
    document["channel"] = fields.channel;
    document["baseUrl"] = fields.baseUrl;
    document["totalSize"] = Json::UInt64(TotalSize(entries));
    document["fileCount"] = static_cast<int>(entries.size());
    Json::Value& files = document["files"] = Json::Value(Json::arrayValue);
    for (const ReleaseEntry& entry : entries) files.append(CanonicalFile(entry));
    return CompactText(document);
}

Json::Value SignedLegacyManifest(const std::vector<ReleaseEntry>& entries, const SigningKey& key,
                                 const LegacyFields& fields) {
    Json::Value document(Json::objectValue);
    document["version"] = fields.version;
    document["gameVersion"] = fields.gameVersion;
    document["channel"] = fields.channel;
    document["baseUrl"] = fields.baseUrl;
    // Both stated and non-zero, so the parser keeps them as signed.
    document["totalSize"] = Json::UInt64(TotalSize(entries));
    document["fileCount"] = static_cast<int>(entries.size());
    Json::Value& files = document["files"] = Json::Value(Json::arrayValue);
    for (const ReleaseEntry& entry : entries) files.append(LegacyFile(entry));
    document["signature"] = key.SignBase64(CanonicalLegacyText(entries, fields));
    return document;
}

Json::Value AssetManifest(const std::vector<ReleaseEntry>& entries, const std::string& version) {
    Json::Value document(Json::objectValue);
    document["schemaVersion"] = "1.0";
    document["manifestId"] = "release-" + version;
    document["createdUtc"] = "2024-01-02T03:04:05Z";
    document["buildMetadata"]["version"] = version;
    document["buildMetadata"]["channel"] = "stable";
    Json::Value& assets = document["assets"] = Json::Value(Json::arrayValue);
    for (const ReleaseEntry& entry : entries) {
        if (entry.downloadUrl.empty()) throw std::invalid_argument("asset without URL: " + entry.path);
        Json::Value asset(Json::objectValue);
        asset["path"] = entry.path;
        asset["size"] = Json::UInt64(entry.size);
        asset["hash"] = entry.sha256;
        asset["fullReference"]["url"] = entry.downloadUrl;
        assets.append(asset);
    }
    document["signatureBlock"]["signature"] = "";
    return document;
}

void WriteJsonFile(const fs::path& path, const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "  ";
    WriteFile(path, Json::writeString(builder, value) + "\n");
}

}  // namespace zuvelo::test
