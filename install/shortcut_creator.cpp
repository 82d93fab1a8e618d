#include "install/shortcut_creator.h"

#include <cstdio>
#include <exception>
#include <utility>

#include "install/shortcut_log.h"

namespace zuvelo {

using shortcut_log::kLog;

ErrorCode MapShortcutHResult(platform::HResult result) {
    switch (result) {
        case platform::kE_OUTOFMEMORY: return ErrorCode::InsufficientMemory;
        case platform::kE_INVALIDARG: return ErrorCode::InvalidArguments;
        default: return ErrorCode::ShortcutCreateFailed;  // E_FAIL, E_ACCESSDENIED and the rest
    }
}

std::string ComErrorMessage(const std::string& operation, platform::HResult result,
                            const std::wstring& context) noexcept {
    try {
        char hex[9];
        std::snprintf(hex, sizeof(hex), "%x", static_cast<unsigned>(result));
        std::string message = operation + " failed with HRESULT: 0x" + hex;
        if (!context.empty()) message += " - " + shortcut_log::Text(context);
        return message;
    } catch (const std::exception&) {
        return {};
    }
}

void shortcut_log::LogComError(const std::string& operation, platform::HResult result,
                               const std::wstring& context) noexcept {
    try {
        const std::string message = ComErrorMessage(operation, result, context);
        if (!message.empty()) kLog.Error(message);
    } catch (const std::exception&) {
    }
}

ShortcutCreator::ShortcutCreator() : ShortcutCreator(ListFolder) {}

ShortcutCreator::ShortcutCreator(FolderLister lister) : lister_(std::move(lister)) {}

ShortcutCreator::~ShortcutCreator() {
    if (comOwned_) platform::UninitializeCom();
    try {
        kLog.Debug("ShortcutCreator cleaned up");
    } catch (const std::exception&) {
    }
}

ErrorCode ShortcutCreator::Initialize() {
    if (comInitialized_) return ErrorCode::Success;
    kLog.Debug("Initializing ShortcutCreator");
    const platform::HResult result = platform::InitializeComForThread();
    // Another apartment mode already on the thread still lets links be made; only
    // an initialisation that succeeded is undone, so COM stays balanced.
    if (platform::HResultFailed(result) && result != platform::kRPC_E_CHANGED_MODE) {
        kLog.Error("Failed to initialize COM: " + std::to_string(result));
        return ErrorCode::InternalError;
    }
    comInitialized_ = true;
    comOwned_ = !platform::HResultFailed(result);
    kLog.Info("ShortcutCreator initialized successfully");
    return ErrorCode::Success;
}

}  // namespace zuvelo
