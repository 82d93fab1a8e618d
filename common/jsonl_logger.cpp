#include "common/jsonl_logger.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <sstream>

#include <json/writer.h>

#include "common/text.h"
#include "platform/pipe.h"

namespace zuvelo {

namespace {

constexpr const char* kComponent = "JsonlLogger";

std::string Timestamp() {
    using namespace std::chrono;
    const int64_t ticks = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100;
    const time_t seconds = static_cast<time_t>(ticks / 10'000'000);
    const int64_t millis = (ticks / 10'000) % 1000;
    std::tm utc{};
    if (!::gmtime_r(&seconds, &utc)) utc = std::tm{};
    char text[40];
    const size_t length = std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + length, sizeof(text) - length, ".%03dZ", static_cast<int>(millis));
    return text;
}

std::unique_ptr<Json::StreamWriter> NewCompactWriter() {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return std::unique_ptr<Json::StreamWriter>(builder.newStreamWriter());
}

void SetIfNotEmpty(Json::Value& event, const char* key, const std::string& value) {
    if (!value.empty()) event[key] = value;
}

int64_t PercentOf(uint64_t part, uint64_t total) {
    if (total == 0) return 0;
    if (part >= total) return 100;
    // Huge counts would wrap in part * 100.
    if (part <= UINT64_MAX / 100) return static_cast<int64_t>(part * 100 / total);
    return static_cast<int64_t>(static_cast<long double>(part) * 100 / static_cast<long double>(total));
}

}  // namespace

const char* EventTypeName(JsonlEventType type) {
    switch (type) {
        case JsonlEventType::Progress: return "progress";
        case JsonlEventType::Status: return "status";
        case JsonlEventType::Error: return "error";
        case JsonlEventType::Completion: return "completion";
        case JsonlEventType::Diagnostic: return "diagnostic";
    }
    return "unknown";
}

const char* LogLevelName(LogLevel level) {
    switch (level) {
        case LogLevel::Debug: return "DEBUG";
        case LogLevel::Info: return "INFO";
        case LogLevel::Warning: return "WARNING";
        case LogLevel::Error: return "ERROR";
        case LogLevel::Fatal: return "FATAL";
    }
    return "UNKNOWN";
}

std::string FormatBytes(uint64_t bytes) {
    static constexpr const char* kUnits[] = {"B", "KB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes);
    int divisions = 0;
    while (value >= 1024.0 && divisions < 4) {
        value /= 1024.0;
        ++divisions;
    }
    if (divisions == 0) return std::to_string(bytes) + " B";
    char text[64];
    std::snprintf(text, sizeof(text), "%.1f %s", value, kUnits[divisions]);
    return text;
}

JsonlLogger& JsonlLogger::Instance() {
    static JsonlLogger logger;
    return logger;
}

JsonlLogger::JsonlLogger() : writer_(NewCompactWriter()), pid_(static_cast<uint32_t>(::getpid())) {}
JsonlLogger::~JsonlLogger() = default;

void JsonlLogger::SetVerbose(bool verbose) {
    std::lock_guard lock(mutex_);
    verbose_ = verbose;
}

bool JsonlLogger::AttachPipe(const std::wstring& name, uint32_t timeoutMs) {
    std::lock_guard lock(mutex_);
    pipe_.reset();
    pipeName_ = name;
    pipeLost_ = false;
    connectTimeoutMs_ = timeoutMs;
    return ConnectPipe(name, timeoutMs);
}

bool JsonlLogger::ConnectPipe(const std::wstring& name, uint32_t timeoutMs) {
    auto pipe = std::make_unique<platform::PipeConnection>();
    if (!pipe->Connect(name, timeoutMs)) return false;
    pipe_ = std::move(pipe);
    return true;
}

Json::Value JsonlLogger::MakeBaseEvent(JsonlEventType type) const {
    Json::Value event(Json::objectValue);
    event["timestamp"] = Timestamp();
    event["event_type"] = EventTypeName(type);
    event["process"] = "ZuveloElevated";
    event["pid"] = static_cast<Json::UInt>(pid_);
    return event;
}

// Building a writer costs more than writing a line, so the logger keeps one.
std::string JsonlLogger::Serialise(const Json::Value& event) {
    line_.str(std::string());
    writer_->write(event, &line_);
    std::string line = line_.str();
    if (line.empty() || line.back() != '\n') line += '\n';
    return line;
}

void JsonlLogger::WriteLine(const Json::Value& event) {
    std::lock_guard lock(mutex_);
    const std::string line = Serialise(event);
    if (!pipe_ && !pipeName_.empty() && !pipeLost_) ConnectPipe(pipeName_, connectTimeoutMs_);
    if (pipe_) {
        const uint32_t error = pipe_->Write(line);
        if (error == 0) return;
        HandleLostPipe(error);
    }
    WriteStdout(line);
}

void JsonlLogger::HandleLostPipe(uint32_t win32Error) {
    pipe_.reset();
    pipeLost_ = true;
    Json::Value warning = MakeBaseEvent(JsonlEventType::Diagnostic);
    warning["level"] = LogLevelName(LogLevel::Warning);
    warning["component"] = kComponent;
    warning["message"] =
        "Progress pipe to launcher lost (Win32 " + std::to_string(win32Error) + "); continuing on stdout";
    WriteStdout(Serialise(warning));
}

void JsonlLogger::WriteStdout(std::string_view text) {
    if (stdoutSink_) {
        stdoutSink_(text);
        return;
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (flushStdout_) std::fflush(stdout);
}

void JsonlLogger::LogProgress(const std::string& operation, int64_t percent, const std::string& details) {
    Json::Value event = MakeBaseEvent(JsonlEventType::Progress);
    event["operation"] = operation;
    event["progress"] = static_cast<Json::Int>(std::clamp<int64_t>(percent, 0, 100));
    SetIfNotEmpty(event, "details", details);
    WriteLine(event);
}

void JsonlLogger::LogStatus(const std::string& operation, const std::string& status, const std::string& details) {
    Json::Value event = MakeBaseEvent(JsonlEventType::Status);
    event["operation"] = operation;
    event["status"] = status;
    SetIfNotEmpty(event, "details", details);
    WriteLine(event);
}

void JsonlLogger::LogError(ErrorCode code, const std::string& operation, const std::string& details) {
    Json::Value event = MakeBaseEvent(JsonlEventType::Error);
    event["operation"] = operation;
    event["error_code"] = static_cast<Json::Int>(ToInt(code));
    event["error_message"] = GetErrorMessage(code);
    SetIfNotEmpty(event, "details", details);
    WriteLine(event);
}

void JsonlLogger::LogCompletion(const std::string& operation, const std::string& details) {
    LogCompletion(operation, true, details);
}

void JsonlLogger::LogCompletion(const std::string& operation, bool success, const std::string& details) {
    Json::Value event = MakeBaseEvent(JsonlEventType::Completion);
    event["operation"] = operation;
    event["success"] = success;
    SetIfNotEmpty(event, "details", details);
    WriteLine(event);
}

void JsonlLogger::LogDiagnostic(LogLevel level, const std::string& message, const std::string& component) {
    if (level == LogLevel::Debug && !verbose_) return;
    Json::Value event = MakeBaseEvent(JsonlEventType::Diagnostic);
    event["level"] = LogLevelName(level);
    event["message"] = message;
    SetIfNotEmpty(event, "component", component);
    WriteLine(event);
}

void JsonlLogger::LogDownloadProgress(const std::string& fileName, uint64_t bytesReceived, uint64_t bytesTotal) {
    std::string details = "Downloaded " + FormatBytes(bytesReceived);
    if (bytesTotal != 0) details += " of " + FormatBytes(bytesTotal);
    LogProgress("download:" + fileName, PercentOf(bytesReceived, bytesTotal), details);
}

void JsonlLogger::LogFileOperation(const std::string& operation, const std::wstring& path, bool success,
                                   uint32_t win32Code, bool reportAsError) noexcept {
    try {
        const bool asError = !success && reportAsError;
        Json::Value event = MakeBaseEvent(asError ? JsonlEventType::Error : JsonlEventType::Status);
        event["operation"] = "file:" + operation;
        event["file_path"] = ToUtf8Lossy(path);
        event["success"] = success;
        if (!success && win32Code != 0) {
            event["system_error_code"] = static_cast<Json::UInt>(win32Code);
            event["error_message"] = ToUtf8Lossy(FormatWin32Error(win32Code));
        }
        WriteLine(event);
    } catch (...) {
        // File events are best effort: a failure here must never change the operation's outcome.
    }
}

void JsonlLogger::LogPrereqStatus(const std::string& component, const std::string& status, const std::string& version) {
    Json::Value event = MakeBaseEvent(JsonlEventType::Status);
    event["operation"] = "prereq_install";
    event["component"] = component;
    event["status"] = status;
    SetIfNotEmpty(event, "version", version);
    WriteLine(event);
}

void JsonlLogger::LogManifestProcessing(const std::string& manifestUrl, const std::string& status,
                                        int64_t filesProcessed) {
    Json::Value event = MakeBaseEvent(JsonlEventType::Status);
    event["operation"] = "manifest_processing";
    event["manifest_url"] = manifestUrl;
    event["status"] = status;
    if (filesProcessed >= 0) event["files_processed"] = static_cast<Json::Int64>(filesProcessed);
    WriteLine(event);
}

void JsonlLogger::LogRegistryOperation(const std::string& operation, const std::string& keyPath, bool success) {
    Json::Value event = MakeBaseEvent(success ? JsonlEventType::Status : JsonlEventType::Error);
    event["operation"] = "registry:" + operation;
    event["key_path"] = keyPath;
    event["success"] = success;
    WriteLine(event);
}

void JsonlLogger::LogShortcutCreate(const std::string& shortcutName, const std::string& targetPath, bool success) {
    Json::Value event = MakeBaseEvent(success ? JsonlEventType::Status : JsonlEventType::Error);
    event["operation"] = "shortcut_create";
    event["shortcut_name"] = shortcutName;
    event["target_path"] = targetPath;
    event["success"] = success;
    WriteLine(event);
}

void ComponentLogger::Log(LogLevel level, const std::string& message) const {
    JsonlLogger::Instance().LogDiagnostic(level, message, component_);
}

void JsonlLogger::SetStdoutSinkForTesting(StdoutSink sink) {
    std::lock_guard lock(mutex_);
    stdoutSink_ = std::move(sink);
}

void JsonlLogger::ResetForTesting() {
    std::lock_guard lock(mutex_);
    pipe_.reset();
    pipeName_.clear();
    pipeLost_ = false;
    verbose_ = false;
    connectTimeoutMs_ = kDefaultConnectTimeoutMs;
}

}  // namespace zuvelo
