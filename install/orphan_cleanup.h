#pragma once

#include <cstdint>
#include <string>

#include "common/error_codes.h"
#include "install/orphan_cleanup_result.h"
#include "manifest/update_manifest.h"

// Removes from an installation folder what the release no longer ships.
namespace zuvelo {

// Pins the target, reads the expected files (the files manifest's and
// options.releaseFiles), lists the target, writes "local-inventory.json",
// reports and deletes the orphans (or only reports them in dry run) and writes
// "orphan-report.json" into the session root. An input that is unusable or
// unsafe skips the run (SkipOrphanCleanup) before anything is deleted.
// Returns 0 for a completed or skipped run, 145 after a containment failure.
// Exceptions from computing the candidates (and from logging) leave it.
ErrorCode RunOrphanCleanup(const OrphanCleanupOptions& options, const std::wstring& targetPath,
                           const std::wstring& sessionRoot, const std::wstring& filesManifestPath, ComponentKind kind,
                           OrphanCleanupResult& result);

// Marks the run skipped with its reason and Win32 error (0: none), with its
// warning and event. Returns 0; never throws.
ErrorCode SkipOrphanCleanup(OrphanCleanupResult& result, const std::string& reason, uint32_t win32Error) noexcept;

}  // namespace zuvelo
