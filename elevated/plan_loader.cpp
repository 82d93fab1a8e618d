#include "elevated/plan_loader.h"

#include <array>
#include <exception>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string_view>

#include <json/value.h>

#include "common/json_document.h"
#include "common/jsonl_logger.h"
#include "common/paths.h"
#include "common/text.h"
#include "platform/regular_file.h"

namespace zuvelo {

namespace {

constexpr const char* kOperationWord = "execution_plan";

ErrorCode Reject(ErrorCode code, const std::string& details) {
    JsonlLogger::Instance().LogError(code, kOperationWord, details);
    return code;
}

struct TypeWord {
    std::string_view word;
    PlanOperationType type;
};

constexpr std::array<TypeWord, 14> kTypeWords{{
    {"install_prereqs", PlanOperationType::InstallPrereqs},
    {"installprereqs", PlanOperationType::InstallPrereqs},
    {"apply_manifest", PlanOperationType::ApplyManifest},
    {"applymanifest", PlanOperationType::ApplyManifest},
    {"write_uninstall", PlanOperationType::WriteUninstall},
    {"writeuninstall", PlanOperationType::WriteUninstall},
    {"create_shortcuts", PlanOperationType::CreateShortcuts},
    {"createshortcuts", PlanOperationType::CreateShortcuts},
    {"write_receipt", PlanOperationType::WriteReceipt},
    {"writereceipt", PlanOperationType::WriteReceipt},
    {"release_session", PlanOperationType::ReleaseSession},
    {"releasesession", PlanOperationType::ReleaseSession},
    {"prune_orphans", PlanOperationType::PruneOrphans},
    {"pruneorphans", PlanOperationType::PruneOrphans},
}};

enum class MemberKind { Text, Path, Flag };

struct MemberRule {
    const char* key;
    MemberKind kind;
    std::wstring PlanOperation::*text;
    bool PlanOperation::*flag;
};

using P = PlanOperation;

const std::array<MemberRule, 13> kMemberRules{{
    {"cdnUrl", MemberKind::Text, &P::cdnUrl, nullptr},
    {"targetPath", MemberKind::Path, &P::targetPath, nullptr},
    {"version", MemberKind::Text, &P::version, nullptr},
    {"manifestUrl", MemberKind::Text, &P::manifestUrl, nullptr},
    {"sessionRoot", MemberKind::Path, &P::sessionRoot, nullptr},
    {"filesManifest", MemberKind::Path, &P::filesManifest, nullptr},
    {"launcherSubdir", MemberKind::Path, &P::launcherSubdir, nullptr},
    {"launcherExecutable", MemberKind::Path, &P::launcherExecutable, nullptr},
    {"launcherWorkingDir", MemberKind::Path, &P::launcherWorkingDir, nullptr},
    {"uninstallerExecutable", MemberKind::Path, &P::uninstallerExecutable, nullptr},
    {"purge", MemberKind::Flag, nullptr, &P::purge},
    {"component", MemberKind::Text, &P::component, nullptr},
    {"dryRun", MemberKind::Flag, nullptr, &P::dryRun},
}};

std::string OperationPrefix(size_t index) { return "Operation " + std::to_string(index); }

// A member of the wrong JSON type is refused rather than skipped: a plan that
// says "dryRun": "true" must not run as a real deletion.
std::optional<std::string> ReadMember(const Json::Value& element, size_t index, const MemberRule& rule,
                                      PlanOperation& operation) {
    if (!element.isMember(rule.key)) return std::nullopt;
    const Json::Value& value = element[rule.key];
    const std::string quotedKey = std::string("'") + rule.key + "'";
    if (rule.kind == MemberKind::Flag) {
        if (!value.isBool()) return OperationPrefix(index) + ": " + quotedKey + " must be a boolean";
        operation.*(rule.flag) = value.asBool();
        return std::nullopt;
    }
    if (!value.isString()) return OperationPrefix(index) + ": " + quotedKey + " must be a string";
    const std::string text = value.asString();
    operation.*(rule.text) = rule.kind == MemberKind::Path ? WidePath(PathFromUtf8(text)) : Utf8ToWide(text);
    return std::nullopt;
}

std::optional<std::string> ReadOperation(const Json::Value& element, size_t index, PlanOperation& operation) {
    if (!element.isObject() || !element.isMember("type") || !element["type"].isString())
        return OperationPrefix(index) + " missing 'type' field";
    std::string message;
    if (!ParseOperationType(element["type"].asString(), operation.type, message))
        return OperationPrefix(index) + ": " + message;
    for (const MemberRule& rule : kMemberRules) {
        if (auto refusal = ReadMember(element, index, rule, operation)) return refusal;
    }
    return std::nullopt;
}

std::optional<std::string> ReadOperations(const Json::Value& operations, std::vector<PlanOperation>& plan) {
    plan.clear();
    plan.reserve(operations.size());
    for (Json::ArrayIndex i = 0; i < operations.size(); ++i) {
        PlanOperation operation;
        if (auto refusal = ReadOperation(operations[i], i, operation)) return refusal;
        plan.push_back(std::move(operation));
    }
    return std::nullopt;
}

// Checks from the JSON parse on; the caller turns exceptions into 4.
ErrorCode ParsePlanDocument(const std::string& utf8, std::vector<PlanOperation>& plan) {
    Json::Value root;
    std::string errors;
    if (!ParseJsonDocument(utf8, root, errors))
        return Reject(ErrorCode::InvalidArguments, "JSON parse error: " + errors);
    if (JsonHasEmbeddedNul(root)) return Reject(ErrorCode::InvalidArguments, "Plan JSON contains an escaped embedded NUL");
    if (!root.isObject()) return Reject(ErrorCode::InvalidArguments, "Plan must be a JSON object");
    if (!root.isMember("operations") || !root["operations"].isArray())
        return Reject(ErrorCode::InvalidArguments, "Plan must have 'operations' array");
    if (auto refusal = ReadOperations(root["operations"], plan)) return Reject(ErrorCode::InvalidArguments, *refusal);
    JsonlLogger::Instance().LogDiagnostic(
        LogLevel::Info, "Loaded execution plan with " + std::to_string(plan.size()) + " operations");
    return ErrorCode::Success;
}

}  // namespace

bool ParseOperationType(const std::string& typeText, PlanOperationType& type, std::string& message) {
    std::string lowered = typeText;
    for (char& c : lowered) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    for (const TypeWord& entry : kTypeWords) {
        if (entry.word == lowered) {
            type = entry.type;
            return true;
        }
    }
    message = "Unknown operation type: '" + typeText +
              "'. Valid types: install_prereqs, apply_manifest, write_uninstall, create_shortcuts, "
              "write_receipt, release_session, prune_orphans";
    return false;
}

ErrorCode ParsePlanJson(const std::wstring& planText, std::vector<PlanOperation>& plan) {
    plan.clear();
    if (planText.find(L'\0') != std::wstring::npos)
        return Reject(ErrorCode::InvalidArguments, "Plan JSON contains an embedded NUL");
    std::string utf8;
    try {
        utf8 = WideToUtf8(planText);
    } catch (const std::exception& e) {
        return Reject(ErrorCode::InvalidArguments, std::string("Failed to convert plan string: ") + e.what());
    }
    if (utf8.empty()) return Reject(ErrorCode::InvalidArguments, "Failed to convert plan string");
    try {
        return ParsePlanDocument(utf8, plan);
    } catch (const std::exception& e) {
        return Reject(ErrorCode::InternalError, e.what());
    }
}

std::string ReadWholeFile(const std::wstring& path, uint64_t maxBytes) {
    std::string bytes;
    switch (platform::ReadRegularFile(NativePath(path), bytes, maxBytes)) {
    case platform::ReadFileResult::Ok:
        return bytes;
    case platform::ReadFileResult::ReadFailed:
        throw std::runtime_error("Failed to read file");
    case platform::ReadFileResult::TooLarge:
        throw FileTooLarge("File is larger than " + std::to_string(maxBytes) + " bytes");
    case platform::ReadFileResult::OpenFailed:
        break;
    }
    throw std::runtime_error("Failed to open file");
}

ErrorCode LoadPlanFromFile(const std::wstring& planPath, std::vector<PlanOperation>& plan) {
    JsonlLogger::Instance().LogStatus(kOperationWord, "loading_plan");
    // A failing test (other than "not found") throws to the command handler.
    if (!PathExists(NativePath(planPath))) return Reject(ErrorCode::FileNotFound, "Plan file not found");
    try {
        const std::string bytes = ReadWholeFile(planPath);
        std::wstring text;
        try {
            text = Utf8ToWide(bytes);
        } catch (const std::exception& e) {
            return Reject(ErrorCode::InvalidArguments, std::string("Plan file is not strict UTF-8: ") + e.what());
        }
        return ParsePlanJson(text, plan);
    } catch (const FileTooLarge& e) {
        return Reject(ErrorCode::InvalidArguments, std::string("Plan file refused: ") + e.what());
    } catch (const std::exception& e) {
        return Reject(ErrorCode::InternalError, std::string("Failed to read plan file: ") + e.what());
    }
}

}  // namespace zuvelo
