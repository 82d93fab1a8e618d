#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/error_codes.h"
#include "install/orphan_cleanup_result.h"
#include "install/orphan_inventory.h"
#include "manifest/update_manifest.h"
#include "platform/unique_fd.h"

// What orphan cleanup leaves for the launcher: "local-inventory.json" and
// "orphan-report.json" in the session folder, and the "orphan_cleanup" status
// events whose details are compact JSON.
namespace zuvelo {

struct OrphanCandidate;

// The session folder, held once for both report files.
class ReportFolder {
public:
    // Holds sessionRoot without following a link at its last component; a
    // failure shows in every Write.
    explicit ReportFolder(const std::wstring& sessionRoot) noexcept;

    // Writes text to a fresh file created exclusively beside name, then renames
    // it over name (a link standing there is replaced, never followed): 0 or
    // the Windows number of the failure.
    uint32_t Write(const std::string& name, const std::string& text) const noexcept;

private:
    platform::UniqueFd folder_;
    uint32_t holdError_ = 0;
};

// Both return 0, 140 (not written) or 4 (anything thrown), with their diagnostics.
ErrorCode WriteLocalInventory(const ReportFolder& folder, const std::vector<InventoryEntry>& inventory);
ErrorCode WriteOrphanReport(const ReportFolder& folder, const std::vector<OrphanCandidate>& files,
                            const std::vector<OrphanCandidate>& directories, const OrphanCleanupResult& result);

void EmitOrphanCleanupStarted(const std::wstring& targetPath, ComponentKind kind, uint64_t expectedCount,
                              uint64_t observedCount);
void EmitOrphanCandidate(const OrphanCandidate& candidate);
void EmitOrphanRemoved(const std::string& key, uint64_t size);
void EmitOrphanSkippedLocked(const std::string& key, const std::string& error);
void EmitOrphanCleanupComplete(const OrphanCleanupResult& result);
// Never throws.
void EmitOrphanCleanupSkipped(const OrphanCleanupResult& result) noexcept;

}  // namespace zuvelo
