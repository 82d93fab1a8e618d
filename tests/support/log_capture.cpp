#include "tests/support/log_capture.h"

#include <sstream>
#include <stdexcept>

#include <json/reader.h>

#include "common/jsonl_logger.h"

namespace zuvelo::test {

LogCapture::LogCapture(bool verbose) {
    JsonlLogger& logger = JsonlLogger::Instance();
    logger.ResetForTesting();
    logger.SetVerbose(verbose);
    logger.SetStdoutSinkForTesting([this](std::string_view text) { lines_.emplace_back(text); });
}

LogCapture::~LogCapture() {
    JsonlLogger& logger = JsonlLogger::Instance();
    logger.SetStdoutSinkForTesting(nullptr);
    logger.ResetForTesting();
}

std::vector<Json::Value> LogCapture::Events() const {
    std::vector<Json::Value> events;
    for (const std::string& line : lines_) events.push_back(ParseJson(line));
    return events;
}

std::vector<Json::Value> LogCapture::EventsWhere(const std::string& key, const std::string& value) const {
    std::vector<Json::Value> matching;
    for (const Json::Value& event : Events()) {
        if (event.isMember(key) && event[key].isString() && event[key].asString() == value) matching.push_back(event);
    }
    return matching;
}

bool LogCapture::HasMessage(const std::string& message) const {
    return !EventsWhere("message", message).empty();
}

Json::Value ParseJson(const std::string& text) {
    Json::Value value;
    std::string errors;
    std::istringstream in(text);
    if (!Json::parseFromStream(Json::CharReaderBuilder(), in, &value, &errors)) {
        throw std::runtime_error("not JSON: " + text + " (" + errors + ")");
    }
    return value;
}

std::vector<Json::Value> FileEvents(const std::vector<Json::Value>& events, const std::string& operation) {
    std::vector<Json::Value> matching;
    for (const Json::Value& event : events) {
        if (event.get("operation", "").asString() == "file:" + operation) matching.push_back(event);
    }
    return matching;
}

std::vector<Json::Value> FileEvents(const LogCapture& log, const std::string& operation) {
    return FileEvents(log.Events(), operation);
}

}  // namespace zuvelo::test
