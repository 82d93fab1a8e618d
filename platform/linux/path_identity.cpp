#include "platform/path_identity.h"

#include <optional>
#include <system_error>

#include "platform/handles.h"

namespace zuvelo::platform {

namespace {

namespace fs = std::filesystem;

// Absolute, ".", ".." and separators folded lexically, no trailing separator.
std::optional<fs::path> Folded(const fs::path& path) {
    std::error_code error;
    fs::path full = fs::absolute(path, error);
    if (error) return std::nullopt;
    full = full.lexically_normal();
    if (!full.has_filename() && full.has_relative_path()) full = full.parent_path();
    return full;
}

}  // namespace

bool NameSameFolder(const fs::path& a, const fs::path& b) noexcept {
    try {
        if (a.empty() || b.empty()) return false;
        const std::optional<fs::path> foldedA = Folded(a);
        const std::optional<fs::path> foldedB = Folded(b);
        if (!foldedA || !foldedB) return false;
        if (foldedA->native() == foldedB->native()) return true;
        HandleInfo infoA;
        HandleInfo infoB;
        return QueryPathInfo(*foldedA, true, infoA) == 0 && QueryPathInfo(*foldedB, true, infoB) == 0 &&
               infoA.SameObject(infoB);
    } catch (...) {
        return false;
    }
}

bool SamePathText(std::wstring_view a, std::wstring_view b) noexcept { return a == b; }

}  // namespace zuvelo::platform
