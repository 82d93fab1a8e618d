#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace zuvelo::test {

// Sets an environment variable for the object's lifetime, then restores it.
class ScopedEnvironmentVariable {
public:
    ScopedEnvironmentVariable(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) previous_ = old;
        Set(name, value.c_str());
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
