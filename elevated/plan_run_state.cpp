#include "elevated/plan_run_state.h"

#include "common/paths.h"
#include "common/update_lock.h"

namespace zuvelo {

void PlanRunState::RecordAppliedManifest(const std::wstring& targetPath, std::vector<std::string> relativePaths) {
    for (auto& [recorded, paths] : applied_) {
        if (NamesSameFolder(recorded, targetPath)) {
            paths = std::move(relativePaths);
            return;
        }
    }
    applied_.emplace_back(targetPath, std::move(relativePaths));
}

const std::vector<std::string>* PlanRunState::AppliedManifestFiles(const std::wstring& targetPath) const {
    for (const auto& [recorded, paths] : applied_) {
        if (NamesSameFolder(recorded, targetPath)) return &paths;
    }
    return nullptr;
}

ErrorCode PlanRunState::HoldUpdateLock() { return zuvelo::HoldUpdateLock(updateLock_, "execution_plan"); }

}  // namespace zuvelo
