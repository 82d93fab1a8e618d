#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/error_codes.h"
#include "platform/file_io.h"
#include "platform/unique_fd.h"

namespace zuvelo {

// The installation folder of one application, held open once: every folder and
// file below it is reached from that handle one component at a time without
// following links, so a link planted in the folder never leads a write, a read
// or a permission change elsewhere. New files are staged beside their final name
// and renamed into place; the staged files an interrupted run left are removed
// from each folder when it is first opened.
class TargetFolder {
public:
    // Holds the folder at targetPath; with create it is made first (with its
    // parents). 0; 141 when it is missing (without create); 1 with "Unsafe path
    // in target: " when it is a link or not a folder; the code of making it.
    ErrorCode Open(const std::wstring& targetPath, bool create);
    // Held, and targetPath still names the very folder held.
    bool IsOpenAt(const std::wstring& targetPath) const;

    // The folder of relativePath's file, made when missing, in folderFd: held by
    // this object until it is asked for another folder, opened again or made
    // folders go (files of one folder, one after the other, reach it once). The
    // first time in this run, the staged leftovers in it are removed. 1 with
    // "Unsafe path in target: " + relativePath when a link or any non-folder
    // stands where a folder must be (nothing is made below it); 146 when a folder
    // cannot be made.
    ErrorCode OpenParentFolder(const std::string& relativePath, int& folderFd);
    // Takes away the folders that the last OpenParentFolder made, while they are
    // empty: nothing stays made below the target for a file that turned out wrong.
    void RemoveMadeFolders();

    // The size of the regular file at relativePath; 0 when there is none or the
    // way to it is unsafe (nothing is logged).
    uint64_t SizeOfExisting(const std::string& relativePath) const;

    // relativePath's file for reading. 0 or the Windows number of the failure
    // (2 when it is missing); linkFound when a link stands on the way or at it.
    uint32_t OpenFile(const std::string& relativePath, platform::UniqueFd& out, bool& linkFound) const;

    // Where relativePath lies, for messages and by-name calls that only report.
    std::filesystem::path PathOf(const std::string& relativePath) const;

private:
    // Lets go of the folder OpenParentFolder holds.
    void ForgetLastFolder();
    // Removes the staged leftovers in the folder open as folderFd once per Open.
    void CleanOnce(int folderFd, const std::filesystem::path& shown);
    // The regular file at relativePath now, making nothing; unsafe when the way to it is.
    void StatExisting(const std::string& relativePath, std::optional<platform::FileStat>& existing,
                      bool& unsafe) const;

    std::wstring path_;
    std::filesystem::path native_;
    platform::UniqueFd root_;
    std::vector<platform::FileStat> cleaned_;  // the folders whose leftovers are gone
    std::vector<std::string> made_;            // the folders the last OpenParentFolder made, outermost first
    std::string lastFolder_;                   // the relative folder OpenParentFolder holds last, as asked
    platform::UniqueFd lastFolderFd_;
};

// The last component of a relative path (either separator).
std::string FileNameOf(const std::string& relativePath);

}  // namespace zuvelo
