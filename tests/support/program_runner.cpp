#include "tests/support/program_runner.h"

#include <sstream>

#include "tests/support/log_capture.h"

namespace zuvelo::test {

std::vector<Json::Value> ParseJsonLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return ParseJsonLines(lines);
}

std::vector<Json::Value> ParseJsonLines(const std::vector<std::string>& lines) {
    std::vector<Json::Value> values;
    for (const std::string& line : lines) {
        if (!line.empty()) values.push_back(ParseJson(line));
    }
    return values;
}

}  // namespace zuvelo::test
