#pragma once

#include <cstdint>
#include <string>

namespace zuvelo {

enum class PlanOperationType : int32_t {
    InstallPrereqs = 0,
    ApplyManifest = 1,
    WriteUninstall = 2,
    CreateShortcuts = 3,
    WriteReceipt = 4,
    ReleaseSession = 5,
    PruneOrphans = 6,
};

inline constexpr int32_t kPlanOperationTypeCount = 7;

// One step of an execution plan; the plan is an ordered sequence of them.
struct PlanOperation {
    PlanOperationType type = PlanOperationType::InstallPrereqs;
    std::wstring cdnUrl;
    std::wstring targetPath;
    std::wstring version;
    std::wstring manifestUrl;
    std::wstring sessionRoot;
    std::wstring filesManifest;
    std::wstring launcherSubdir;
    std::wstring launcherExecutable;
    std::wstring launcherWorkingDir;
    std::wstring uninstallerExecutable;
    bool purge = false;
    std::wstring component;
    bool dryRun = false;
};

}  // namespace zuvelo
