#pragma once

#include <string>
#include <vector>

#include <json/value.h>

namespace zuvelo::test {

// One event as a short line for comparing event orders:
//   "status <operation> <status>[ <details>]", "progress <operation> <percent>",
//   "error <operation> <code>[ <details>]", "completion <operation>",
//   "diagnostic <LEVEL> <message>".
std::string Summarize(const Json::Value& event);

// Summaries in order, leaving out the per-item file events ("file:...").
std::vector<std::string> SummarizeAll(const std::vector<Json::Value>& events);

}  // namespace zuvelo::test
