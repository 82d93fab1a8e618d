// libFuzzer target: the execution plan parser on arbitrary text.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "common/jsonl_logger.h"
#include "common/text.h"
#include "elevated/plan_loader.h"

namespace {

// Events would flood the fuzzer's output; they are not what is checked here.
bool SilenceEvents() {
    zuvelo::JsonlLogger::Instance().SetStdoutSinkForTesting([](std::string_view) {});
    return true;
}

std::wstring DecodeOrEmpty(const std::string& bytes) {
    try {
        return zuvelo::Utf8ToWide(bytes);
    } catch (const std::exception&) {
        return {};
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool silenced = SilenceEvents();
    (void)silenced;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::vector<zuvelo::PlanOperation> plan;
    zuvelo::ParsePlanJson(DecodeOrEmpty(bytes), plan);
    // Raw code units as well, so invalid wide text reaches the strict checks.
    std::wstring raw;
    for (size_t i = 0; i + 4 <= size; i += 4) {
        uint32_t unit = 0;
        for (size_t b = 0; b < 4; ++b) unit |= static_cast<uint32_t>(data[i + b]) << (8 * b);
        raw.push_back(static_cast<wchar_t>(unit));
    }
    zuvelo::ParsePlanJson(raw, plan);
    return 0;
}
