#pragma once

#include <string>

#include "common/error_codes.h"
#include "elevated/command_line.h"

// One handler per command; each runs inside the command frame and returns the
// result that becomes the exit code.
namespace zuvelo {

ErrorCode HandleInstallPrereqs(const std::wstring& cdnUrl);
ErrorCode HandleApplyManifest(const CommandLineOptions& options);
ErrorCode HandleWriteUninstall(const std::wstring& targetPath, const std::wstring& version);
ErrorCode HandleCreateShortcuts(const std::wstring& targetPath);
ErrorCode HandleReleaseSession(const std::wstring& sessionRoot);
// Takes the update lock before it removes anything and holds it to its end.
ErrorCode HandleRemove(const std::wstring& targetPath, bool purge);
ErrorCode HandleExecutePlan(const std::wstring& planFile);

}  // namespace zuvelo
