#include "elevated/plan_run_state.h"

#include <cstdint>

#include "common/pinned_removal.h"

namespace zuvelo {

namespace {

// "." and "..", doubled and trailing separators folded; empty when it cannot be resolved.
std::wstring Normalised(const std::wstring& path) {
    std::wstring full;
    uint32_t ignored = 0;
    return ResolveFullPath(path, full, ignored) ? full : std::wstring();
}

}  // namespace

void PlanRunState::RecordAppliedManifest(const std::wstring& targetPath, std::vector<std::string> relativePaths) {
    const std::wstring target = Normalised(targetPath);
    if (target.empty()) return;
    for (auto& [recorded, paths] : applied_) {
        if (PathsEqualIgnoreCase(recorded, target)) {
            paths = std::move(relativePaths);
            return;
        }
    }
    applied_.emplace_back(target, std::move(relativePaths));
}

const std::vector<std::string>* PlanRunState::AppliedManifestFiles(const std::wstring& targetPath) const {
    const std::wstring target = Normalised(targetPath);
    if (target.empty()) return nullptr;
    for (const auto& [recorded, paths] : applied_) {
        if (PathsEqualIgnoreCase(recorded, target)) return &paths;
    }
    return nullptr;
}

}  // namespace zuvelo
