#pragma once

#include <cstdint>
#include <string>

namespace zuvelo {

// Result of every operation and the process exit code of both programs.
enum class ErrorCode : int32_t {
    Success = 0,
    InvalidArguments = 1,
    InsufficientPrivileges = 2,
    Cancelled = 3,
    InternalError = 4,
    InsufficientMemory = 5,
    TimedOut = 6,
    LoggingPipeConnectFailed = 7,
    ProgressPipeClosed = 8,

    PrereqDetectFailed = 100,
    PrereqDownloadFailed = 101,
    PrereqInstallFailed = 102,
    PrereqVerifyFailed = 103,
    PrereqAlreadyInstalled = 104,

    ManifestDownloadFailed = 120,
    ManifestParseFailed = 121,
    ManifestSignatureInvalid = 122,
    ManifestSchemaInvalid = 123,
    ManifestNotFound = 124,
    ManifestApplyFailed = 125,

    FileAccessDenied = 140,
    FileNotFound = 141,
    FileHashMismatch = 142,
    FileCopyFailed = 143,
    FileMoveFailed = 144,
    FileDeleteFailed = 145,
    DirectoryCreateFailed = 146,
    DirectoryAccessDenied = 147,
    InsufficientDiskSpace = 148,
    ReceiptWriteFailed = 149,   // no message of its own
    ReceiptReadFailed = 150,    // the uninstaller's counterpart, no message either

    NetworkUnreachable = 160,
    DownloadFailed = 161,
    DownloadCorrupted = 162,
    HttpError = 163,
    TlsError = 164,
    DnsResolutionFailed = 165,
    ConnectionTimeout = 166,
    DownloadInterrupted = 167,

    RegistryAccessDenied = 180,
    RegistryKeyNotFound = 181,
    RegistryValueNotFound = 182,
    RegistryWriteFailed = 183,
    RegistryDeleteFailed = 184,

    SignatureVerificationFailed = 200,
    CertificateInvalid = 201,
    CertificateExpired = 202,
    CertificateRevoked = 203,
    HashCalculationFailed = 204,
    CryptoProviderError = 205,

    ShortcutCreateFailed = 220,
    ShortcutLinkFailed = 221,
    ShellFolderAccessFailed = 222,
    IconExtractionFailed = 223,

    InvalidInstallPath = 240,
    InstallPathAccessDenied = 241,
    UninstallWriteFailed = 242,
    UninstallCleanupFailed = 243,
    ServiceControlFailed = 244,
    ProcessTerminationFailed = 245,
};

constexpr int32_t ToInt(ErrorCode code) { return static_cast<int32_t>(code); }
constexpr bool Succeeded(ErrorCode code) { return code == ErrorCode::Success; }

// Fixed English message of a code; "Unknown error" for anything not in the table.
const char* GetErrorMessage(ErrorCode code);

// The system's text for a Win32 error number, without trailing line breaks,
// or "Win32 error N" when there is none.
std::wstring FormatWin32Error(uint32_t code);

}  // namespace zuvelo
