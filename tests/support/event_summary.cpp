#include "tests/support/event_summary.h"

namespace zuvelo::test {

namespace {

std::string WithDetails(std::string text, const Json::Value& event) {
    if (event.isMember("details")) {
        text += ' ';
        text += event["details"].asString();
    }
    return text;
}

}  // namespace

std::string Summarize(const Json::Value& event) {
    const std::string type = event["event_type"].asString();
    const std::string operation = event["operation"].asString();
    if (type == "status") return WithDetails("status " + operation + " " + event["status"].asString(), event);
    if (type == "progress") return "progress " + operation + " " + std::to_string(event["progress"].asInt());
    if (type == "error") return WithDetails("error " + operation + " " + std::to_string(event["error_code"].asInt()), event);
    if (type == "completion") return WithDetails("completion " + operation, event);
    if (type == "diagnostic") return "diagnostic " + event["level"].asString() + " " + event["message"].asString();
    return "unknown " + type;
}

std::vector<std::string> SummarizeAll(const std::vector<Json::Value>& events) {
    std::vector<std::string> summaries;
    for (const Json::Value& event : events) {
        if (event["operation"].asString().rfind("file:", 0) == 0) continue;
        summaries.push_back(Summarize(event));
    }
    return summaries;
}

}  // namespace zuvelo::test
