#include "tests/support/https_test_server.h"

#include <json/reader.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <stdexcept>

// The parts of the test server's interface that both systems share: request
// headers, and faults, requests and connection policies as JSON.
namespace zuvelo::test {

namespace fs = std::filesystem;

namespace {

const std::map<std::string, ServerFaultKind>& FaultNames() {
    static const std::map<std::string, ServerFaultKind> names{
        {"none", ServerFaultKind::None},
        {"status", ServerFaultKind::Status},
        {"drop_after", ServerFaultKind::DropAfter},
        {"stall_head", ServerFaultKind::StallHead},
        {"stall_body", ServerFaultKind::StallBody},
        {"ignore_range", ServerFaultKind::IgnoreRange},
        {"wrong_range_offset", ServerFaultKind::WrongRangeOffset},
        {"extra_bytes", ServerFaultKind::ExtraBytes},
        {"missing_bytes", ServerFaultKind::MissingBytes},
        {"chunked", ServerFaultKind::Chunked},
        {"redirect", ServerFaultKind::Redirect},
    };
    return names;
}

const std::map<std::string, ConnectionPolicy>& PolicyNames() {
    static const std::map<std::string, ConnectionPolicy> names{
        {"close_each", ConnectionPolicy::CloseEach},
        {"keep_alive", ConnectionPolicy::KeepAlive},
        {"close_unannounced", ConnectionPolicy::CloseUnannounced},
        {"reset_on_next_request", ConnectionPolicy::ResetOnNextRequest},
    };
    return names;
}

template <typename Value>
std::string NameOf(const std::map<std::string, Value>& names, Value value) {
    auto found = std::find_if(names.begin(), names.end(), [&](const auto& entry) { return entry.second == value; });
    return found->first;
}

}  // namespace

std::string ServerRequest::Header(std::string_view name) const {
    auto found = headers.find(NormalName(name));
    return found == headers.end() ? std::string() : found->second;
}

std::string ServerRequest::NormalName(std::string_view name) {
    std::string out(name);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

ServerFault ServerFaultFromJson(const Json::Value& value) {
    if (!value.isObject() || !value["fault"].isString())
        throw std::invalid_argument("fault: object with \"fault\" expected");
    auto kind = FaultNames().find(value["fault"].asString());
    if (kind == FaultNames().end()) throw std::invalid_argument("fault: unknown kind " + value["fault"].asString());
    ServerFault fault;
    fault.kind = kind->second;
    fault.status = value.get("status", 0).asInt();
    fault.bytes = value.get("bytes", 0).asUInt64();
    fault.location = value.get("location", "").asString();
    return fault;
}

Json::Value ServerFaultToJson(const ServerFault& fault) {
    Json::Value value;
    value["fault"] = NameOf(FaultNames(), fault.kind);
    value["status"] = fault.status;
    value["bytes"] = Json::UInt64(fault.bytes);
    value["location"] = fault.location;
    return value;
}

std::map<std::string, ServerFault> LoadServerFaults(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::invalid_argument("faults: cannot read " + file.string());
    Json::Value document;
    Json::CharReaderBuilder builder;
    std::string errors;
    if (!Json::parseFromStream(builder, in, &document, &errors) || !document.isObject())
        throw std::invalid_argument("faults: " + (errors.empty() ? "object expected" : errors));
    std::map<std::string, ServerFault> faults;
    for (const auto& path : document.getMemberNames()) faults[path] = ServerFaultFromJson(document[path]);
    return faults;
}

Json::Value ServerRequestToJson(const ServerRequest& request) {
    Json::Value value;
    value["method"] = request.method;
    value["target"] = request.target;
    value["headers"] = Json::Value(Json::objectValue);
    for (const auto& [name, text] : request.headers) value["headers"][name] = text;
    return value;
}

ServerRequest ServerRequestFromJson(const Json::Value& value) {
    ServerRequest request;
    request.method = value["method"].asString();
    request.target = value["target"].asString();
    const Json::Value& headers = value["headers"];
    for (const std::string& name : headers.getMemberNames()) request.headers[name] = headers[name].asString();
    return request;
}

ConnectionPolicy ConnectionPolicyFromName(const std::string& name) {
    auto found = PolicyNames().find(name);
    if (found == PolicyNames().end()) throw std::invalid_argument("unknown connection policy " + name);
    return found->second;
}

std::string ConnectionPolicyName(ConnectionPolicy policy) { return NameOf(PolicyNames(), policy); }

}  // namespace zuvelo::test
