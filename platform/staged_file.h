#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "platform/unique_fd.h"

// A new file written beside its final name and then renamed over it, so the
// final name never holds a partial file and a link standing at the final name
// is replaced as itself, never written through. Until committed it is removed
// when the object goes. Staged files carry one name pattern, so the leftovers
// of a run that was killed can be recognised and removed by the next one.
// Functions return 0 or the Windows number of the failure.
namespace zuvelo::platform {

// ".zuvelo-staged." + 12 of [0-9a-z] + ".tmp".
bool IsStagedFileName(const std::string& name);

// A fresh random name of that pattern.
std::string NewStagedFileName();

class StagedFile {
public:
    StagedFile() = default;
    ~StagedFile();
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    // Creates a fresh file with a staged name in the folder open as folderFd
    // (which the object keeps its own copy of), never over an existing name or
    // link, with exactly the permission bits mode & 0777.
    uint32_t Create(int folderFd, uint32_t mode);
    // The same in the folder at this path (opened without following a link at its last component).
    uint32_t Create(const std::filesystem::path& folder, uint32_t mode);

    // Creates the file, in the folder open as folderFd, as the system's copy of the
    // file open as sourceFd (CopyFileExW: its bytes, attributes and alternate
    // streams; the new file takes its folder's inherited access list), never over an
    // existing name or link. The file is then held for reading, its attributes and
    // times, and its rename or deletion, not for writing. 50 where the system has no
    // such copy (Linux): the caller then Creates it and copies the bytes itself.
    uint32_t CreateAsCopyOf(int folderFd, int sourceFd);

    int fd() const { return fd_.get(); }

    // Renames the file over finalName in its folder and closes it.
    uint32_t CommitAs(const std::string& finalName);
    // Renames the file to finalName in its folder only while nothing, a link
    // included, stands there (183 otherwise), and closes it.
    uint32_t CommitAsNew(const std::string& finalName);

private:
    // Makes the file name afresh in the folder held as folderFd, never over anything there
    // (a link included): 183 when the name is taken.
    using FileMaker = std::function<uint32_t(int folderFd, const std::string& name, UniqueFd& out)>;

    // Makes the file with make under a fresh staged name in the object's own copy of the
    // folder held as folderFd, another name where one is taken.
    uint32_t CreateWith(int folderFd, const FileMaker& make);
    uint32_t Commit(const std::string& finalName, bool replace);

    // This system's steps (platform/<system>/staged_file.cpp): a new empty file, open for
    // reading and writing, as a FileMaker; the rename of the file to finalName in its folder,
    // over what stands there when replace is set (183 otherwise).
    static uint32_t CreateEmptyFile(int folderFd, const std::string& name, UniqueFd& out);
    uint32_t RenameTo(const std::string& finalName, bool replace);

    UniqueFd folder_;
    UniqueFd fd_;
    std::string name_;
    bool committed_ = false;
};

// Removes the regular files with a staged name directly in the folder open as
// folderFd (links and folders so named are left alone); returns how many went.
int RemoveStagedLeftovers(int folderFd);

}  // namespace zuvelo::platform
