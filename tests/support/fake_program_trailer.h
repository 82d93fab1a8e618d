#pragma once

#include <string>

// How a fake program's behaviour rides after its image on Windows: the marker,
// then one "key=value" line per step, the value with "\", line feed and carriage
// return escaped.
namespace zuvelo::test {

inline constexpr const char* kFakeProgramMarker = "\nZUVELO-FAKE-PROGRAM\n";
inline constexpr const char* kArgumentsKey = "arguments";
inline constexpr const char* kUndeletableKey = "undeletable";
inline constexpr const char* kPidsKey = "pids";
inline constexpr const char* kChildKey = "child";
inline constexpr const char* kOutputKey = "output";
inline constexpr const char* kSleepKey = "sleep";
inline constexpr const char* kExitKey = "exit";
// "run0", "run1", ...: command lines run in that order.
inline constexpr const char* kCommandKeyPrefix = "run";
// The argument that makes the program the sleeping child.
inline constexpr const char* kSleepingChildArgument = "--sleeping-child";

inline std::string EscapeTrailerValue(const std::string& value) {
    std::string escaped;
    for (const char c : value) {
        if (c == '\\') escaped += "\\\\";
        else if (c == '\n') escaped += "\\n";
        else if (c == '\r') escaped += "\\r";
        else escaped += c;
    }
    return escaped;
}

inline std::string UnescapeTrailerValue(const std::string& escaped) {
    std::string value;
    for (size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] != '\\' || i + 1 == escaped.size()) {
            value += escaped[i];
            continue;
        }
        const char next = escaped[++i];
        value += next == 'n' ? '\n' : next == 'r' ? '\r' : next;
    }
    return value;
}

}  // namespace zuvelo::test
