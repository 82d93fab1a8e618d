#include "elevated/entry.h"

#include <cstdint>
#include <exception>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "common/command_arguments.h"
#include "common/jsonl_logger.h"
#include "common/text.h"
#include "elevated/command_handlers.h"
#include "elevated/command_line.h"
#include "platform/process_startup.h"
#include "resources/version.h"

namespace zuvelo {

namespace {

constexpr uint32_t kPipeConnectTimeoutMs = 30000;

void WriteErrorLine(const std::string& text) { std::cerr << text << std::endl; }

// A failed COM set-up is reported with its HRESULT as unsigned lower-case hex (E_FAIL reads 80004005).
bool CheckCom(const platform::ComApartment& com) {
    if (com.Ok()) return true;
    std::ostringstream text;
    text << "Failed to initialize COM: " << std::hex << static_cast<uint32_t>(com.Result());
    WriteErrorLine(text.str());
    return false;
}

bool CheckAdministrator() {
    if (platform::IsAdministrator()) return true;
    WriteErrorLine("Error: This application requires administrator privileges.");
    WriteErrorLine("Please run as administrator or from an elevated command prompt.");
    return false;
}

bool ConnectProgressPipe(const std::wstring& pipeName) {
    if (JsonlLogger::Instance().AttachPipe(pipeName, kPipeConnectTimeoutMs)) return true;
    WriteErrorLine("Error: Failed to connect to progress pipe: " + WideToUtf8Lossy(pipeName));
    return false;
}

ErrorCode DispatchCommand(const CommandLineOptions& options) {
    switch (options.command) {
    case HelperCommand::InstallPrereqs:
        return HandleInstallPrereqs(options.cdnUrl);
    case HelperCommand::ApplyManifest:
        return HandleApplyManifest(options);
    case HelperCommand::WriteUninstall:
        return HandleWriteUninstall(options.targetPath, options.version);
    case HelperCommand::CreateShortcuts:
        return HandleCreateShortcuts(options.targetPath);
    case HelperCommand::ReleaseSession:
        return HandleReleaseSession(options.sessionRoot);
    case HelperCommand::Remove:
        return HandleRemove(options.targetPath, options.purge);
    case HelperCommand::ExecutePlan:
        return HandleExecutePlan(options.planFile);
    case HelperCommand::None:
        break;
    }
    return ErrorCode::InvalidArguments;
}

int RunCommand(const CommandLineOptions& options) {
    JsonlLogger& log = JsonlLogger::Instance();
    log.LogDiagnostic(LogLevel::Info, "ZuveloElevated starting");
    log.LogStatus("startup", "checking_environment");
    const ErrorCode result = DispatchCommand(options);
    if (result == ErrorCode::Success) {
        log.LogCompletion("main_operation");
        log.LogDiagnostic(LogLevel::Info, "ZuveloElevated completed successfully");
    } else {
        log.LogError(result, "main_operation");
        log.LogDiagnostic(LogLevel::Fatal, "ZuveloElevated failed with error: " + std::to_string(ToInt(result)));
    }
    return ToInt(result);
}

}  // namespace

int HelperMain(std::optional<std::vector<std::wstring>> arguments) {
    // Released once the run is over, whatever its outcome.
    const platform::ComApartment com;
    if (!CheckCom(com)) return ToInt(ErrorCode::InternalError);
    if (!CheckAdministrator()) return ToInt(ErrorCode::InsufficientPrivileges);

    if (!arguments) {
        WriteErrorLine("Error: Invalid argument encoding");
        return ToInt(ErrorCode::InvalidArguments);
    }
    std::vector<wchar_t*> wideArgv = ArgumentPointers(*arguments);
    CommandLineOptions options;
    const int argc = static_cast<int>(arguments->size());
    if (ParseCommandLine(argc, wideArgv.data(), options) != 0) return ToInt(ErrorCode::InvalidArguments);

    JsonlLogger::Instance().SetVerbose(options.verbose);
    JsonlLogger::Instance().SetFlushStdout(true);
    if (!options.progressPipe.empty() && !ConnectProgressPipe(options.progressPipe))
        return ToInt(ErrorCode::LoggingPipeConnectFailed);

    // Help is honoured only after the requirement checks and the pipe set-up.
    if (options.help) {
        PrintUsage(wideArgv[0]);
        return ToInt(ErrorCode::Success);
    }
    if (options.command != HelperCommand::None) return RunCommand(options);

    std::cout << "ZuveloElevated " << version::kVersion << std::endl;
    PrintUsage(wideArgv[0]);
    return ToInt(ErrorCode::InvalidArguments);
}

}  // namespace zuvelo
