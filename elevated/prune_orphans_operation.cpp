#include <cstdlib>
#include <cwctype>
#include <exception>
#include <filesystem>
#include <string>
#include <string_view>

#include "common/jsonl_logger.h"
#include "common/paths.h"
#include "elevated/operation_frame.h"
#include "elevated/plan_steps.h"
#include "install/orphan_cleanup.h"

namespace zuvelo {

namespace {

constexpr const char* kOperation = "prune_orphans";
constexpr const char* kDryRunVariable = "ZUVELO_ORPHAN_CLEANUP_DRYRUN";
constexpr const char* kSwitchVariable = "ZUVELO_ORPHAN_CLEANUP";

JsonlLogger& Log() { return JsonlLogger::Instance(); }

std::wstring LowerCase(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    return text;
}

// The message of the first missing or invalid parameter, or empty.
std::string CheckPruneParameters(const PlanOperation& operation) {
    if (operation.targetPath.empty()) return "Missing targetPath";
    // Deletion below it needs one folder named absolutely, never a file-system root.
    if (const std::string problem = TargetPathProblem(operation.targetPath); !problem.empty()) return problem;
    if (operation.component.empty()) return "Missing component (must be 'client' or 'launcher')";
    const std::wstring component = LowerCase(operation.component);
    if (component != L"client" && component != L"launcher") return "Invalid component: must be 'client' or 'launcher'";
    if (operation.sessionRoot.empty() || operation.filesManifest.empty())
        return "Missing session parameters: sessionRoot and filesManifest are required";
    return "";
}

bool EqualsIgnoringAsciiCase(std::string_view text, std::string_view word) {
    if (text.size() != word.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = (text[i] >= 'A' && text[i] <= 'Z') ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
        if (c != word[i]) return false;
    }
    return true;
}

// The variable is set to exactly `exact`, or to `word` in any ASCII case.
bool VariableSays(const char* name, std::string_view exact, std::string_view word) {
    const char* value = std::getenv(name);
    return value && (value == exact || EqualsIgnoringAsciiCase(value, word));
}

// Follows links; any failure of the test counts as absent.
bool IsAvailable(const std::wstring& path) noexcept {
    try {
        return PathExists(NativePath(path));
    } catch (...) {
        return false;
    }
}

ErrorCode SkipUnavailable(const std::string& what, const std::string& details) {
    Log().LogDiagnostic(LogLevel::Warning, "Orphan cleanup skipped: " + what + " is unavailable");
    Log().LogStatus(kOperation, "skipped", details);
    return ErrorCode::Success;
}

// Before any deletion an escaped exception only skips the run; once deletion
// has begun the run is reported as aborted with 4.
ErrorCode ReportEscapedException(const OrphanCleanupResult& result, const std::exception& e) {
    if (result.deletionStarted) {
        Log().LogError(ErrorCode::InternalError, kOperation, e.what());
        Log().LogStatus(kOperation, "aborted");
        return ErrorCode::InternalError;
    }
    Log().LogDiagnostic(LogLevel::Warning, std::string("Orphan cleanup skipped after exception: ") + e.what(),
                        "execution_plan");
    Log().LogStatus(kOperation, "skipped", e.what());
    return ErrorCode::Success;
}

// Dry run from the plan or the environment; without an update applied to the
// target earlier in this plan the expected list may be partial, so nothing is
// deleted either.
OrphanCleanupOptions ChooseOptions(const PlanOperation& operation, bool dryRunFromVariable,
                                   const std::vector<std::string>* releaseFiles) {
    OrphanCleanupOptions options;
    options.dryRun = operation.dryRun || dryRunFromVariable;
    if (options.dryRun) {
        Log().LogDiagnostic(LogLevel::Info,
                            std::string("Orphan cleanup running in dry-run mode") +
                                (operation.dryRun ? " (via execution plan)" : " (via ZUVELO_ORPHAN_CLEANUP_DRYRUN=1)"));
    } else if (!releaseFiles) {
        options.dryRun = true;
        Log().LogDiagnostic(LogLevel::Warning,
                            "Orphan cleanup running in dry-run mode: no update was applied to this "
                            "target earlier in this plan");
    }
    if (releaseFiles) options.releaseFiles = *releaseFiles;
    return options;
}

ErrorCode PruneOrphans(const PlanOperation& operation, PlanRunState& state) {
    if (!IsAvailable(operation.sessionRoot)) return SkipUnavailable("session root", "Session root is unavailable");
    if (!IsAvailable(operation.filesManifest))
        return SkipUnavailable("files manifest", "Files manifest is unavailable");
    const bool dryRunFromVariable = !operation.dryRun && VariableSays(kDryRunVariable, "1", "true");
    if (VariableSays(kSwitchVariable, "0", "false")) {
        Log().LogDiagnostic(LogLevel::Info, "Orphan cleanup disabled via ZUVELO_ORPHAN_CLEANUP=0");
        Log().LogStatus(kOperation, "skipped");
        return ErrorCode::Success;
    }
    const OrphanCleanupOptions options =
        ChooseOptions(operation, dryRunFromVariable, state.AppliedManifestFiles(operation.targetPath));
    const ComponentKind kind =
        LowerCase(operation.component) == L"launcher" ? ComponentKind::Launcher : ComponentKind::Client;
    // Deletes from the installation: never while another update changes it.
    if (const ErrorCode locked = state.HoldUpdateLock(); locked != ErrorCode::Success) return locked;
    OrphanCleanupResult result;
    ErrorCode code = ErrorCode::Success;
    try {
        code = RunOrphanCleanup(options, operation.targetPath, operation.sessionRoot, operation.filesManifest, kind,
                                result);
    } catch (const std::exception& e) {
        return ReportEscapedException(result, e);
    }
    if (result.skipped) {
        Log().LogStatus(kOperation, "skipped", result.skipReason);
        return ErrorCode::Success;
    }
    if (code != ErrorCode::Success) {
        Log().LogStatus(kOperation, "aborted");
        return code;
    }
    Log().LogDiagnostic(LogLevel::Info, "Orphan cleanup completed: " + std::to_string(result.filesRemoved) +
                                            " files removed, " + std::to_string(result.dirsRemoved) +
                                            " directories removed, " + std::to_string(result.bytesFreed) +
                                            " bytes freed");
    Log().LogStatus(kOperation, "completed");
    return ErrorCode::Success;
}

}  // namespace

ErrorCode RunPruneOrphansOperation(const PlanOperation& operation, PlanRunState& state) {
    return RunStepFrame(kOperation, CheckPruneParameters(operation), [&] { return PruneOrphans(operation, state); });
}

}  // namespace zuvelo
