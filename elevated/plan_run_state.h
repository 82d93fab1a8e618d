#pragma once

#include <string>
#include <utility>
#include <vector>

// What one run of a plan remembers from one step for a later one. It lives in
// memory for that run only; nothing of it is written anywhere.
namespace zuvelo {

class PlanRunState {
public:
    // Remembers the relative paths of every entry of the manifest just applied
    // to targetPath (replacing what an earlier step applied there).
    void RecordAppliedManifest(const std::wstring& targetPath, std::vector<std::string> relativePaths);

    // The paths recorded for targetPath, compared as normalised absolute paths
    // (case ignored as for every path identity), or nullptr when nothing was
    // applied there in this run.
    const std::vector<std::string>* AppliedManifestFiles(const std::wstring& targetPath) const;

private:
    std::vector<std::pair<std::wstring, std::vector<std::string>>> applied_;  // normalised target, paths
};

}  // namespace zuvelo
