#pragma once

#include <filesystem>
#include <memory>

namespace zuvelo::test {

// Trusts a test CA (a PEM file) for TLS while the object lives: through
// SSL_CERT_FILE on Linux, in the machine's Root certificate store on Windows,
// where a CA that was there already stays.
class ScopedTrustedCa {
public:
    explicit ScopedTrustedCa(const std::filesystem::path& caFile);
    ~ScopedTrustedCa();
    ScopedTrustedCa(const ScopedTrustedCa&) = delete;
    ScopedTrustedCa& operator=(const ScopedTrustedCa&) = delete;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace zuvelo::test
