#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>

#include <json/value.h>
#include <json/writer.h>

#include "common/error_codes.h"

namespace zuvelo {

namespace platform {
class PipeConnection;
}

enum class JsonlEventType { Progress = 0, Status = 1, Error = 2, Completion = 3, Diagnostic = 4 };
enum class LogLevel { Debug = 0, Info = 1, Warning = 2, Error = 3, Fatal = 4 };

const char* EventTypeName(JsonlEventType type);
const char* LogLevelName(LogLevel level);

// "512 B", "1.5 KB", "2.0 MB" ... up to TB.
std::string FormatBytes(uint64_t bytes);

// The one process-wide writer of the JSON-lines event stream. Lines go to the
// launcher's progress pipe while it is connected, else to standard output.
class JsonlLogger {
public:
    static constexpr uint32_t kDefaultConnectTimeoutMs = 15000;

    static JsonlLogger& Instance();

    JsonlLogger();
    ~JsonlLogger();
    JsonlLogger(const JsonlLogger&) = delete;
    JsonlLogger& operator=(const JsonlLogger&) = delete;

    void SetVerbose(bool verbose);
    bool IsVerbose() const { return verbose_; }
    void SetFlushStdout(bool flush) { flushStdout_ = flush; }

    // Entry set-up: under the mutex, close any open pipe, remember the name,
    // clear the lost mark, store the time-out and connect.
    bool AttachPipe(const std::wstring& name, uint32_t timeoutMs);

    // Read without the lock by the long steps, which abandon their work once set.
    bool IsPipeLost() const { return pipeLost_.load(std::memory_order_relaxed); }

    void LogProgress(const std::string& operation, int64_t percent, const std::string& details = "");
    void LogStatus(const std::string& operation, const std::string& status, const std::string& details = "");
    void LogError(ErrorCode code, const std::string& operation, const std::string& details = "");
    void LogCompletion(const std::string& operation, const std::string& details = "");
    // The uninstaller's completion writes the flag it is passed.
    void LogCompletion(const std::string& operation, bool success, const std::string& details);
    void LogDiagnostic(LogLevel level, const std::string& message, const std::string& component = "");
    void LogDownloadProgress(const std::string& fileName, uint64_t bytesReceived, uint64_t bytesTotal);
    void LogFileOperation(const std::string& operation, const std::wstring& path, bool success,
                          uint32_t win32Code, bool reportAsError) noexcept;
    void LogPrereqStatus(const std::string& component, const std::string& status, const std::string& version = "");
    void LogManifestProcessing(const std::string& manifestUrl, const std::string& status, int64_t filesProcessed);
    void LogRegistryOperation(const std::string& operation, const std::string& keyPath, bool success);
    void LogShortcutCreate(const std::string& shortcutName, const std::string& targetPath, bool success);

    // Test seam: where "standard output" lines go (default: the process's stdout).
    using StdoutSink = std::function<void(std::string_view)>;
    void SetStdoutSinkForTesting(StdoutSink sink);
    // Test seam: back to the state of a fresh process (no pipe, not lost, not verbose).
    void ResetForTesting();

    // "timestamp", "event_type", "process" and "pid".
    Json::Value MakeBaseEvent(JsonlEventType type) const;

private:
    bool ConnectPipe(const std::wstring& name, uint32_t timeoutMs);
    std::string Serialise(const Json::Value& event);
    void WriteLine(const Json::Value& event);
    void WriteStdout(std::string_view text);
    void HandleLostPipe(uint32_t win32Error);

    std::mutex mutex_;
    std::unique_ptr<Json::StreamWriter> writer_;  // used under the mutex
    std::ostringstream line_;                     // the writer's stream, kept from line to line (under the mutex)
    bool verbose_ = false;
    bool flushStdout_ = true;
    std::unique_ptr<platform::PipeConnection> pipe_;
    std::wstring pipeName_;
    uint32_t connectTimeoutMs_ = kDefaultConnectTimeoutMs;
    std::atomic<bool> pipeLost_{false};
    StdoutSink stdoutSink_;
    const uint32_t pid_;  // asked once, not per event: the programs start children but never fork
};

// The diagnostic lines of one component, each naming it as its "component" (none when
// the name is empty). Each component keeps one as a constant; DEBUG lines are written
// only with verbose output on.
class ComponentLogger {
public:
    explicit constexpr ComponentLogger(const char* component) : component_(component) {}

    void Log(LogLevel level, const std::string& message) const;
    void Debug(const std::string& message) const { Log(LogLevel::Debug, message); }
    void Info(const std::string& message) const { Log(LogLevel::Info, message); }
    void Warning(const std::string& message) const { Log(LogLevel::Warning, message); }
    void Error(const std::string& message) const { Log(LogLevel::Error, message); }
    void Fatal(const std::string& message) const { Log(LogLevel::Fatal, message); }

private:
    const char* component_;
};

}  // namespace zuvelo
