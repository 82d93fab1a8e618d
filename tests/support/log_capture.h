#pragma once

#include <string>
#include <vector>

#include <json/value.h>

namespace zuvelo::test {

// Collects what the logger writes to "standard output" while it lives, and
// resets the logger before and after.
class LogCapture {
public:
    explicit LogCapture(bool verbose = false);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    const std::vector<std::string>& Lines() const { return lines_; }
    std::vector<Json::Value> Events() const;
    // Events whose key equals value (e.g. "event_type" == "error").
    std::vector<Json::Value> EventsWhere(const std::string& key, const std::string& value) const;
    // True when some diagnostic carries exactly this message.
    bool HasMessage(const std::string& message) const;
    void Clear() { lines_.clear(); }

private:
    std::vector<std::string> lines_;
};

Json::Value ParseJson(const std::string& text);

// The file events of one operation ("operation" is "file:" + operation), in order.
std::vector<Json::Value> FileEvents(const std::vector<Json::Value>& events, const std::string& operation);
std::vector<Json::Value> FileEvents(const LogCapture& log, const std::string& operation);

}  // namespace zuvelo::test
