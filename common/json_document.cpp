#include "common/json_document.h"

#include <memory>

#include <json/reader.h>

namespace zuvelo {

namespace {

// An upper bound of the values text holds: one, and one more for each comma and
// each opening bracket outside strings. Stops counting past limit.
std::size_t CountValuesUpTo(std::string_view text, std::size_t limit) {
    std::size_t values = 1;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if ((c == ',' || c == '[' || c == '{') && ++values > limit) {
            break;
        }
    }
    return values;
}

}  // namespace

bool ParseJsonDocument(std::string_view text, Json::Value& document, std::string& errors) {
    if (CountValuesUpTo(text, kMaxJsonValues) > kMaxJsonValues) {
        errors = "Document holds more than " + std::to_string(kMaxJsonValues) + " values";
        return false;
    }
    const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    return reader->parse(text.data(), text.data() + text.size(), &document, &errors);
}

}  // namespace zuvelo
