#include <filesystem>
#include <iostream>
#include <string>
#include <utility>

#include "common/jsonl_logger.h"
#include "common/paths.h"
#include "common/text.h"
#include "elevated/command_handlers.h"
#include "elevated/operation_frame.h"
#include "elevated/plan_steps.h"
#include "manifest/manifest_handler.h"

namespace zuvelo {

namespace {

// What both entry points hand to the manifest handler.
struct ApplyRequest {
    const std::wstring& cdnUrl;
    const std::wstring& manifestUrl;
    const std::wstring& targetPath;
    const std::wstring& sessionRoot;
    const std::wstring& filesManifest;

    bool FromPreparedSession() const { return !sessionRoot.empty() && !filesManifest.empty(); }
};

enum class Missing { SessionRoot, FilesManifest };

// How a missing session folder or files manifest is reported: the command on
// standard error, the plan step as an error event.
using MissingReporter = void (*)(Missing what, const std::wstring& path);

// A failing test (other than "not found") throws to the frame's guard.
bool Exists(const std::wstring& path) { return PathExists(NativePath(path)); }

ErrorCode ApplyWith(ManifestHandler& handler, const ApplyRequest& request, MissingReporter reportMissing) {
    if (!request.FromPreparedSession()) return handler.ApplyManifest(request.manifestUrl, request.targetPath);
    if (!Exists(request.sessionRoot)) {
        reportMissing(Missing::SessionRoot, request.sessionRoot);
        return ErrorCode::FileNotFound;
    }
    if (!Exists(request.filesManifest)) {
        reportMissing(Missing::FilesManifest, request.filesManifest);
        return ErrorCode::FileNotFound;
    }
    return handler.ApplyPreparedSession(request.manifestUrl, request.targetPath, request.sessionRoot,
                                        request.filesManifest);
}

// In a plan (state given) the handler takes the plan's update lock, and a
// successful application is recorded in state.
ErrorCode Apply(const ApplyRequest& request, MissingReporter reportMissing, PlanRunState* state = nullptr) {
    ManifestHandlerOptions options;
    if (state) options.updateLock = &state->UpdateLock();
    // Destroyed on every path below, which tidies its download cache.
    ManifestHandler handler(request.cdnUrl, std::move(options));
    const ErrorCode result = ApplyWith(handler, request, reportMissing);
    if (state && Succeeded(result)) state->RecordAppliedManifest(request.targetPath, handler.AppliedFiles());
    return result;
}

void ReportMissingOnStderr(Missing what, const std::wstring& path) {
    const char* text = what == Missing::SessionRoot ? "Error: Session root path does not exist: "
                                                    : "Error: Files manifest path does not exist: ";
    std::cerr << text << WideToUtf8Lossy(path) << std::endl;
}

void ReportMissingAsEvent(Missing what, const std::wstring& /*path*/) {
    const char* details = what == Missing::SessionRoot ? "Session root not found" : "Files manifest not found";
    JsonlLogger::Instance().LogError(ErrorCode::FileNotFound, "apply_manifest", details);
}

}  // namespace

ErrorCode HandleApplyManifest(const CommandLineOptions& options) {
    return RunCommandFrame("manifest_apply", [&] {
        return Apply({options.cdnUrl, options.manifestUrl, options.targetPath, options.sessionRoot,
                      options.filesManifest},
                     ReportMissingOnStderr);
    });
}

ErrorCode RunApplyManifestOperation(const PlanOperation& operation, PlanRunState& state) {
    const bool missing = operation.manifestUrl.empty() || operation.targetPath.empty() || operation.cdnUrl.empty();
    return RunStepFrame("apply_manifest", missing ? "Missing required parameters: manifestUrl, targetPath, cdnUrl" : "",
                        [&] {
                            return Apply({operation.cdnUrl, operation.manifestUrl, operation.targetPath,
                                          operation.sessionRoot, operation.filesManifest},
                                         ReportMissingAsEvent, &state);
                        });
}

}  // namespace zuvelo
