#include "platform/console.h"

namespace zuvelo::platform {

void PrepareConsoleStreams() {}

std::optional<std::wstring> WideFromOemCodePage(std::string_view /*text*/) { return std::nullopt; }

}  // namespace zuvelo::platform
