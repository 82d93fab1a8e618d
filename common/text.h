#pragma once

#include <filesystem>
#include <string>

#include <json/value.h>

// Wide strings hold UTF-32 on Linux and UTF-16 on Windows; the converters refuse
// overlong forms, lone surrogates, values above U+10FFFF and truncated sequences.
namespace zuvelo {

// Strict: throw std::length_error or std::runtime_error on bad input.
std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);

// Throws std::invalid_argument on an embedded NUL; conversion errors pass through.
std::filesystem::path PathFromUtf8(const std::string& text);
// The UTF-8 of a path; throws std::runtime_error when its native form is not valid text.
std::string Utf8FromPath(const std::filesystem::path& path);

// Lossy: never throw; invalid sequences become U+FFFD.
std::string WideToUtf8Lossy(const std::wstring& text);
std::string ToUtf8Lossy(const std::wstring& text);
std::string ToUtf8Lossy(const std::filesystem::path& path);

// Lossy: invalid sequences become U+FFFD; a text of 2^31 bytes or more becomes
// U+FFFD alone. Never throws.
std::wstring Utf8ToWideLossy(const std::string& text);

// Console output of child processes: the OEM code page on Windows, UTF-8 on Linux;
// lossy as Utf8ToWideLossy.
std::wstring OemToWide(const std::string& text);

// Text to show on a terminal: each control character (U+0000-U+001F and
// U+007F-U+009F) becomes "?", so text read from a file cannot move the cursor
// or rewrite what is already shown.
std::wstring ForTerminal(std::wstring text);

// True when any string or member name holds a NUL character; never throws.
bool JsonHasEmbeddedNul(const Json::Value& value);

}  // namespace zuvelo
