// InstallReceipt.json as the uninstaller reads it: a damaged or planted file.
// The parser throws nothing (it answers 0 or 1); a receipt it accepts names only
// paths inside its installation folder.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "install/install_receipt.h"
#include "tests/fuzz/fuzz_support.h"
#include "uninstall/install_receipt_reader.h"

namespace {

using namespace zuvelo;
using fuzz::Require;

void CheckContained(const InstallReceipt& receipt, const std::vector<std::wstring>& files) {
    for (const std::wstring& file : files) Require(IsPathContainedIn(file, receipt.installPath));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool silenced = (fuzz::SilenceEvents(), true);
    (void)silenced;
    InstallReceipt receipt;
    const ErrorCode result =
        ParseInstallReceiptJson(std::string(reinterpret_cast<const char*>(data), size), receipt);
    Require(result == ErrorCode::Success || result == ErrorCode::InvalidArguments);
    if (result != ErrorCode::Success) return 0;
    Require(IsSafeAbsolutePath(receipt.installPath));
    Require(IsPathContainedIn(receipt.launcherPath, receipt.installPath));
    CheckContained(receipt, receipt.launcher.files);
    CheckContained(receipt, receipt.client.files);
    CheckContained(receipt, receipt.helper.files);
    return 0;
}
