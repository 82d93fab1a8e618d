#pragma once

#include <string>
#include <utility>
#include <vector>

#include "common/error_codes.h"
#include "platform/file_lock.h"

// What one run of a plan remembers from one step for a later one, and the
// machine's update lock the run holds from its first change to an installation
// to its end. It lives in memory for that run only; nothing of it is written anywhere.
namespace zuvelo {

class PlanRunState {
public:
    // Remembers the relative paths of every entry of the manifest just applied
    // to targetPath (replacing what an earlier step applied to the same folder).
    void RecordAppliedManifest(const std::wstring& targetPath, std::vector<std::string> relativePaths);

    // The paths recorded for the folder targetPath names (NamesSameFolder: as the
    // file system tells folders apart), or nullptr when nothing was applied there
    // in this run.
    const std::vector<std::string>* AppliedManifestFiles(const std::wstring& targetPath) const;

    // Takes the update lock for the rest of the run, waiting while another run
    // holds it; once held, later calls return at once. 0 or HoldUpdateLock's code.
    ErrorCode HoldUpdateLock();
    // The lock the run holds or will hold, for a step that takes it through its
    // own component (so that it never waits for its own plan).
    platform::FileLock& UpdateLock() { return updateLock_; }

private:
    std::vector<std::pair<std::wstring, std::vector<std::string>>> applied_;  // target as given, paths
    platform::FileLock updateLock_;
};

}  // namespace zuvelo
