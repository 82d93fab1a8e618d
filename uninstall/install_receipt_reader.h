#pragma once

#include <string>
#include <vector>

#include <json/value.h>

#include "common/error_codes.h"
#include "install/install_receipt.h"

// Reading InstallReceipt.json back, with stricter checks than the writer makes:
// every path it names must lie inside the installation folder.
namespace zuvelo {

// "<installation folder>/InstallReceipt.json".
std::wstring GetInstallReceiptPath(const std::wstring& installFolder);

// 0 with the receipt filled; 141 no file, 150 not openable, 1 refused, 4 on an
// exception. The receipt is left alone unless the result is 0.
ErrorCode ReadInstallReceipt(const std::wstring& path, InstallReceipt& receipt);

// 0, or 1 for a document that is not a safe receipt.
ErrorCode ParseInstallReceiptJson(const std::string& utf8, InstallReceipt& receipt);

// The component's "files", each inside receipt.installPath; false at the first
// that is not. No "files" array gives an empty list. Throws on a member of the
// wrong JSON type.
bool ParseReceiptComponent(const InstallReceipt& receipt, const Json::Value& component,
                           std::vector<std::wstring>& files);

// A rooted path ("/..." or a drive letter, colon and separator) without NUL or
// "..", whose full path can be resolved. Never throws.
bool IsSafeAbsolutePath(const std::wstring& path);

// Whether path, taken relative to root unless it is rooted itself, resolves to
// root or below it (compared as the file system compares names: case matters on
// Linux, not on Windows). An empty path is contained. Never throws.
bool IsPathContainedIn(const std::wstring& path, const std::wstring& root);

}  // namespace zuvelo
