#include "manifest/manifest_rules.h"

#include <string_view>

// The patterns are matched by hand: std::regex recurses once per character and
// overflows the stack on long hostile input.
namespace zuvelo {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsAlnum(char c) { return IsDigit(c) || IsAsciiLetter(c); }
bool IsHexDigit(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Consumes a run of characters of the class; false when the run is empty.
template <typename Pred>
bool TakeRun(std::string_view& text, Pred pred) {
    size_t n = 0;
    while (n < text.size() && pred(text[n])) ++n;
    text.remove_prefix(n);
    return n > 0;
}

bool TakeChar(std::string_view& text, char c) {
    if (text.empty() || text.front() != c) return false;
    text.remove_prefix(1);
    return true;
}

// -[a-zA-Z0-9]+(?:\.[a-zA-Z0-9]+)*  up to the end of the text
bool IsPreRelease(std::string_view text) {
    if (!TakeChar(text, '-') || !TakeRun(text, IsAlnum)) return false;
    while (!text.empty()) {
        if (!TakeChar(text, '.') || !TakeRun(text, IsAlnum)) return false;
    }
    return true;
}

}  // namespace

bool IsValidVersion(const std::string& version) {
    std::string_view text(version);
    if (!TakeRun(text, IsDigit) || !TakeChar(text, '.')) return false;
    if (!TakeRun(text, IsDigit) || !TakeChar(text, '.')) return false;
    if (!TakeRun(text, IsDigit)) return false;
    return text.empty() || IsPreRelease(text);
}

bool IsValidSha256Hex(const std::string& hash) {
    if (hash.size() != 64) return false;
    for (char c : hash) {
        if (!IsHexDigit(c)) return false;
    }
    return true;
}

std::string AsciiLower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

}  // namespace zuvelo
