#include "install/orphan_report.h"

#include <exception>

#include <json/writer.h>

#include "common/jsonl_logger.h"
#include "common/paths.h"
#include "common/text.h"
#include "install/orphan_candidates.h"
#include "platform/file_io.h"
#include "platform/open_beneath.h"
#include "platform/staged_file.h"
#include "platform/win32_error.h"

namespace zuvelo {

namespace {

constexpr const char* kInventoryName = "local-inventory.json";
constexpr const char* kReportName = "orphan-report.json";
constexpr uint32_t kReportMode = 0644;  // the launcher reads them

// Its lines name no component.
constexpr ComponentLogger kLog{""};

std::string Serialise(const Json::Value& value, const char* indentation) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = indentation;
    std::string text = Json::writeString(builder, value);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

void EmitEvent(const std::string& status, const Json::Value& details) {
    JsonlLogger::Instance().LogStatus("orphan_cleanup", status, Serialise(details, ""));
}

Json::Value Counters(const OrphanCleanupResult& result) {
    Json::Value value(Json::objectValue);
    value["bytesFreed"] = Json::UInt64(result.bytesFreed);
    value["dirsRemoved"] = Json::UInt(result.dirsRemoved);
    value["filesRemoved"] = Json::UInt(result.filesRemoved);
    value["filesSkipped"] = Json::UInt(result.filesSkipped);
    return value;
}

Json::Value ReportOrphan(const OrphanCandidate& candidate, const char* type) {
    Json::Value value(Json::objectValue);
    value["path"] = candidate.relativeKey;
    value["size"] = Json::UInt64(candidate.size);
    value["type"] = type;
    return value;
}

// Writes one report file with its diagnostics; build makes the document.
template <typename Build>
ErrorCode WriteReport(const ReportFolder& folder, const std::string& name, const std::string& wroteMessage,
                      const Build& build) {
    try {
        if (folder.Write(name, platform::TextModeBytes(Serialise(build(), "  "))) != 0) {
            kLog.Warning("Failed to write " + name);
            return ErrorCode::FileAccessDenied;
        }
        kLog.Info(wroteMessage);
        return ErrorCode::Success;
    } catch (const std::exception& e) {
        kLog.Warning("Failed to write " + name + ": " + e.what());
        return ErrorCode::InternalError;
    }
}

}  // namespace

ReportFolder::ReportFolder(const std::wstring& sessionRoot) noexcept {
    try {
        holdError_ = platform::PinFolder(NativePath(sessionRoot), folder_);
    } catch (...) {
        holdError_ = platform::win32::kInvalidName;  // not a usable path
    }
}

uint32_t ReportFolder::Write(const std::string& name, const std::string& text) const noexcept {
    if (!folder_.valid()) return holdError_;
    platform::StagedFile staged;
    if (const uint32_t err = staged.Create(folder_.get(), kReportMode)) return err;
    if (const uint32_t err = platform::WriteFullyAt(staged.fd(), text.data(), text.size(), 0)) return err;
    return staged.CommitAs(name);
}

ErrorCode WriteLocalInventory(const ReportFolder& folder, const std::vector<InventoryEntry>& inventory) {
    return WriteReport(folder, kInventoryName,
                       "Wrote local-inventory.json with " + std::to_string(inventory.size()) + " entries", [&] {
                           Json::Value document(Json::arrayValue);
                           for (const InventoryEntry& entry : inventory) {
                               Json::Value item(Json::objectValue);
                               item["isDirectory"] = entry.isDirectory;
                               item["isSymlink"] = entry.isSymlink;
                               item["path"] = entry.relativeKey;
                               item["size"] = Json::UInt64(entry.size);
                               document.append(item);
                           }
                           return document;
                       });
}

ErrorCode WriteOrphanReport(const ReportFolder& folder, const std::vector<OrphanCandidate>& files,
                            const std::vector<OrphanCandidate>& directories, const OrphanCleanupResult& result) {
    return WriteReport(folder, kReportName, "Wrote orphan-report.json", [&] {
        Json::Value document = Counters(result);
        document["orphans"] = Json::Value(Json::arrayValue);
        for (const OrphanCandidate& file : files) document["orphans"].append(ReportOrphan(file, "file"));
        for (const OrphanCandidate& directory : directories) {
            document["orphans"].append(ReportOrphan(directory, "directory"));
        }
        document["skippedPaths"] = Json::Value(Json::arrayValue);
        for (const std::string& path : result.skippedPaths) document["skippedPaths"].append(path);
        return document;
    });
}

void EmitOrphanCleanupStarted(const std::wstring& targetPath, ComponentKind kind, uint64_t expectedCount,
                              uint64_t observedCount) {
    Json::Value details(Json::objectValue);
    details["component"] = OrphanComponentWord(kind);
    details["expectedCount"] = Json::UInt64(expectedCount);
    details["observedCount"] = Json::UInt64(observedCount);
    details["targetPath"] = WideToUtf8Lossy(targetPath);
    EmitEvent("orphan_cleanup_started", details);
}

void EmitOrphanCandidate(const OrphanCandidate& candidate) {
    Json::Value details(Json::objectValue);
    details["path"] = candidate.relativeKey;
    details["size"] = Json::UInt64(candidate.size);
    details["type"] = candidate.isDirectory ? "dir" : "file";
    EmitEvent("orphan_candidate", details);
}

void EmitOrphanRemoved(const std::string& key, uint64_t size) {
    Json::Value details(Json::objectValue);
    details["path"] = key;
    details["size"] = Json::UInt64(size);
    EmitEvent("orphan_removed", details);
}

void EmitOrphanSkippedLocked(const std::string& key, const std::string& error) {
    Json::Value details(Json::objectValue);
    details["error"] = error;
    details["path"] = key;
    EmitEvent("orphan_skipped_locked", details);
}

void EmitOrphanCleanupComplete(const OrphanCleanupResult& result) {
    EmitEvent("orphan_cleanup_complete", Counters(result));
}

void EmitOrphanCleanupSkipped(const OrphanCleanupResult& result) noexcept {
    try {
        Json::Value details(Json::objectValue);
        details["reason"] = result.skipReason;
        if (result.systemErrorCode != 0) details["system_error_code"] = Json::UInt(result.systemErrorCode);
        EmitEvent("orphan_cleanup_skipped", details);
    } catch (...) {
        // The skip stands whether or not its event could be sent.
    }
}

}  // namespace zuvelo
