#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/unique_fd.h"

// A new file written beside its final name and then renamed over it, so the
// final name never holds a partial file. Until committed it is removed when the
// object goes. Functions return 0 or the Windows number of the failure.
namespace zuvelo::platform {

class StagedFile {
public:
    StagedFile() = default;
    ~StagedFile();
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    // Creates a fresh file named after finalName in folder (never an existing
    // name or link), with mode & 0777 less the umask.
    uint32_t Create(const std::filesystem::path& folder, const std::string& finalName, uint32_t mode);

    int fd() const { return fd_.get(); }

    // Renames the file over target (which must be in the same folder) and closes it.
    uint32_t CommitAs(const std::filesystem::path& target);

private:
    UniqueFd fd_;
    std::filesystem::path path_;
    bool committed_ = false;
};

}  // namespace zuvelo::platform
