#include <string>

#include "elevated/command_handlers.h"
#include "elevated/operation_frame.h"
#include "elevated/plan_steps.h"

namespace zuvelo {

ErrorCode HandleApplyManifest(const CommandLineOptions& /*options*/) {
    return RunCommandFrame("manifest_apply", [] { return ReportNotBuilt("manifest_apply"); });
}

ErrorCode RunApplyManifestOperation(const PlanOperation& operation) {
    const bool missing = operation.manifestUrl.empty() || operation.targetPath.empty() || operation.cdnUrl.empty();
    return RunStepFrame("apply_manifest", missing ? "Missing required parameters: manifestUrl, targetPath, cdnUrl" : "",
                        [] { return ReportNotBuilt("apply_manifest"); });
}

}  // namespace zuvelo
