#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace zuvelo::test {

// The variable that names the temporary folder: TMPDIR on Linux, TMP on Windows (GetTempPathW).
#ifdef _WIN32
inline constexpr const char* kTempFolderVariable = "TMP";
#else
inline constexpr const char* kTempFolderVariable = "TMPDIR";
#endif

// Sets (or, for a null value, removes) an environment variable for the object's
// lifetime, then restores it.
class ScopedEnvironmentVariable {
public:
    ScopedEnvironmentVariable(const char* name, const std::string& value)
        : ScopedEnvironmentVariable(name, value.c_str()) {}
    ScopedEnvironmentVariable(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) previous_ = old;
        Set(name, value);
    }
    ~ScopedEnvironmentVariable() { Set(name_, previous_ ? previous_->c_str() : nullptr); }
    ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
    ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;

private:
    // Sets, or removes for nullptr. On Windows _putenv_s changes the process environment too,
    // which child processes inherit; an empty value removes the variable there.
    static void Set(const char* name, const char* value) {
#ifdef _WIN32
        ::_putenv_s(name, value ? value : "");
#else
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
#endif
    }

    const char* name_;
    std::optional<std::string> previous_;
};

}  // namespace zuvelo::test
