#pragma once

#include <cstdint>
#include <ostream>

#include "platform/win32_error.h"

namespace zuvelo {

// A failure of the system carried as one value from where it happens: the Windows number
// of what failed (platform/win32_error.h; 0 when nothing did), and whether it was a refusal
// for safety (a link, another mount or a moved root on the way) rather than an I/O error.
// It becomes an ErrorCode only where a result leaves for the programs' callers
// (FileOperations::MapWin32Error).
class SystemError {
public:
    constexpr SystemError() = default;
    // What every platform call returns: 0 or the Windows number.
    constexpr SystemError(uint32_t code) : code_(code) {}  // NOLINT(google-explicit-constructor)

    // A safety refusal with its Windows number (never 0).
    static constexpr SystemError Refusal(uint32_t code) {
        SystemError error(code);
        error.refused_ = true;
        return error;
    }

    constexpr uint32_t code() const { return code_; }
    constexpr bool ok() const { return code_ == 0; }
    // True when something failed, as `if (const uint32_t err = ...)` reads.
    constexpr explicit operator bool() const { return code_ != 0; }
    constexpr bool refused() const { return refused_; }
    // A file or a folder on the way is not there (2 or 3).
    constexpr bool IsNotFound() const { return platform::win32::IsNotFound(code_); }

    friend constexpr bool operator==(const SystemError&, const SystemError&) = default;
    friend std::ostream& operator<<(std::ostream& out, const SystemError& error) {
        return out << error.code_ << (error.refused_ ? " (refused)" : "");
    }

private:
    uint32_t code_ = 0;
    bool refused_ = false;
};

}  // namespace zuvelo
