#include "common/error_codes.h"

#include "common/error_codes_detail.h"
#include "platform/win32_error.h"

namespace zuvelo {

const char* GetErrorMessage(ErrorCode code) {
    switch (code) {
        case ErrorCode::Success: return "Operation completed successfully";
        case ErrorCode::InvalidArguments: return "Invalid command line arguments";
        case ErrorCode::InsufficientPrivileges: return "Insufficient privileges for operation";
        case ErrorCode::Cancelled: return "Operation was cancelled";
        case ErrorCode::InternalError: return "Internal error occurred";
        case ErrorCode::InsufficientMemory: return "Insufficient memory";
        case ErrorCode::TimedOut: return "Operation timed out";
        case ErrorCode::LoggingPipeConnectFailed: return "Failed to connect to logging pipe";
        case ErrorCode::ProgressPipeClosed: return "Launcher closed the progress pipe; operation abandoned";
        case ErrorCode::PrereqDetectFailed: return "Failed to detect prerequisites";
        case ErrorCode::PrereqDownloadFailed: return "Failed to download prerequisites";
        case ErrorCode::PrereqInstallFailed: return "Failed to install prerequisites";
        case ErrorCode::PrereqVerifyFailed: return "Failed to verify prerequisites";
        case ErrorCode::PrereqAlreadyInstalled: return "Prerequisites already installed";
        case ErrorCode::ManifestDownloadFailed: return "Failed to download manifest";
        case ErrorCode::ManifestParseFailed: return "Failed to parse manifest";
        case ErrorCode::ManifestSignatureInvalid: return "Manifest signature is invalid";
        case ErrorCode::ManifestSchemaInvalid: return "Manifest schema is invalid";
        case ErrorCode::ManifestNotFound: return "Manifest file not found";
        case ErrorCode::ManifestApplyFailed: return "Failed to apply manifest";
        case ErrorCode::FileAccessDenied: return "File access denied";
        case ErrorCode::FileNotFound: return "File not found";
        case ErrorCode::FileHashMismatch: return "File hash verification failed";
        case ErrorCode::FileCopyFailed: return "File copy operation failed";
        case ErrorCode::FileMoveFailed: return "File move operation failed";
        case ErrorCode::FileDeleteFailed: return "File delete operation failed";
        case ErrorCode::DirectoryCreateFailed: return "Directory creation failed";
        case ErrorCode::DirectoryAccessDenied: return "Directory access denied";
        case ErrorCode::InsufficientDiskSpace: return "Insufficient disk space";
        case ErrorCode::NetworkUnreachable: return "Network unreachable";
        case ErrorCode::DownloadFailed: return "Download failed";
        case ErrorCode::DownloadCorrupted: return "Downloaded file corrupted";
        case ErrorCode::HttpError: return "HTTP error occurred";
        case ErrorCode::TlsError: return "SSL/TLS error occurred";
        case ErrorCode::DnsResolutionFailed: return "DNS resolution failed";
        case ErrorCode::ConnectionTimeout: return "Connection timeout";
        case ErrorCode::DownloadInterrupted: return "Download was interrupted";
        case ErrorCode::RegistryAccessDenied: return "Registry access denied";
        case ErrorCode::RegistryKeyNotFound: return "Registry key not found";
        case ErrorCode::RegistryValueNotFound: return "Registry value not found";
        case ErrorCode::RegistryWriteFailed: return "Registry write operation failed";
        case ErrorCode::RegistryDeleteFailed: return "Registry delete operation failed";
        case ErrorCode::SignatureVerificationFailed: return "Digital signature verification failed";
        case ErrorCode::CertificateInvalid: return "Certificate is invalid";
        case ErrorCode::CertificateExpired: return "Certificate has expired";
        case ErrorCode::CertificateRevoked: return "Certificate has been revoked";
        case ErrorCode::HashCalculationFailed: return "Hash calculation failed";
        case ErrorCode::CryptoProviderError: return "Cryptographic provider error";
        case ErrorCode::ShortcutCreateFailed: return "Shortcut creation failed";
        case ErrorCode::ShortcutLinkFailed: return "Shortcut link operation failed";
        case ErrorCode::ShellFolderAccessFailed: return "Shell folder access failed";
        case ErrorCode::IconExtractionFailed: return "Icon extraction failed";
        case ErrorCode::InvalidInstallPath: return "Installation path is invalid";
        case ErrorCode::InstallPathAccessDenied: return "Installation path access denied";
        case ErrorCode::UninstallWriteFailed: return "Failed to write uninstall information";
        case ErrorCode::UninstallCleanupFailed: return "Uninstall cleanup failed";
        case ErrorCode::ServiceControlFailed: return "Service control operation failed";
        case ErrorCode::ProcessTerminationFailed: return "Process termination failed";
        case ErrorCode::ReceiptWriteFailed:
        case ErrorCode::ReceiptReadFailed: break;
    }
    return "Unknown error";
}

std::wstring FormatWin32ErrorWith(uint32_t code, const Win32MessageLookup& lookup) {
    if (std::optional<std::wstring> text = lookup(code); text && !text->empty()) {
        while (!text->empty() && (text->back() == L'\r' || text->back() == L'\n')) text->pop_back();
        return *text;
    }
    return L"Win32 error " + std::to_wstring(code);
}

std::wstring FormatWin32Error(uint32_t code) { return FormatWin32ErrorWith(code, platform::SystemErrorText); }

}  // namespace zuvelo
