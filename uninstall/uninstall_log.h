#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "common/error_codes.h"
#include "platform/unique_fd.h"
#include "uninstall/uninstall_stats.h"

// The small UTF-8 text file each uninstall run leaves: a header when it starts
// and, after a complete run, a summary of what was removed.
namespace zuvelo {

// <common application data>/Zuvelo/Logs/uninstall-YYYYMMDD-HHMMSS.log of the time
// in UTC; relative to the current folder when the data folder is unknown.
std::wstring GetLogFilePath(std::chrono::system_clock::time_point time);

// "Zuvelo Uninstaller Log\nStarted: <UTC time>\n\n".
std::string LogHeader(std::chrono::system_clock::time_point started);

// "\n=== Uninstall Summary ===\n" and one "Name: value" line per figure.
std::string LogSummary(const std::wstring& version, const std::wstring& installPath, const UninstallStats& stats);

// One run's log file, closed when destroyed.
class UninstallLog {
public:
    // Creates the file at path, or at path with "-1", "-2" ... before ".log" while
    // the name is taken (a link counts as taken and is never followed), in a Logs
    // folder that must be a folder of this user's that others cannot write, and
    // writes the header. 0, or 149 when no file could be created. Creating the
    // folders above the Logs folder throws std::filesystem::filesystem_error.
    ErrorCode Create(const std::wstring& path, std::chrono::system_clock::time_point started);

    // Appends UTF-8 text; a failed write is ignored. Nothing when not open.
    void Append(const std::string& text);

    bool IsOpen() const { return file_.valid(); }
    // The file created (empty until then).
    const std::wstring& Path() const { return path_; }

private:
    platform::UniqueFd file_;
    std::wstring path_;
    uint64_t written_ = 0;
};

}  // namespace zuvelo
