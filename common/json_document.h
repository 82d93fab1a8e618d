#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <json/value.h>

// Reading a JSON document whose bytes someone else may have shaped (a download, a
// file in a folder others can write).
namespace zuvelo {

// The most values such a document may hold. The largest valid documents (10,000
// entries of a handful of values each) stay far below it; a document of more would
// cost the parser some hundred bytes a value whatever its size cap allows.
inline constexpr std::size_t kMaxJsonValues = 1'000'000;

// Parses text as one JSON document with the reader's default settings: false, with
// errors set, when it is not JSON or holds more than kMaxJsonValues values (refused
// before it is parsed). Nesting beyond the reader's limit throws Json::RuntimeError,
// as the reader does.
bool ParseJsonDocument(std::string_view text, Json::Value& document, std::string& errors);

}  // namespace zuvelo
