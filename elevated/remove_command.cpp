#include "elevated/command_handlers.h"
#include "elevated/operation_frame.h"

namespace zuvelo {

ErrorCode HandleRemove(const std::wstring& /*targetPath*/, bool /*purge*/) {
    return RunCommandFrame("remove", [] { return ReportNotBuilt("remove"); });
}

}  // namespace zuvelo
