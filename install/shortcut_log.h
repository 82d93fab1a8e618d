#pragma once

#include <string>

#include "common/jsonl_logger.h"
#include "common/text.h"
#include "platform/shell_link.h"

// Diagnostics of ShortcutCreator, shared by its creation and removal halves.
namespace zuvelo::shortcut_log {

inline constexpr ComponentLogger kLog{"ShortcutCreator"};

// A wide text for a message; never throws on bad text.
inline std::string Text(const std::wstring& text) { return WideToUtf8Lossy(text); }

// ERROR with ComErrorMessage; nothing when it cannot be built.
void LogComError(const std::string& operation, platform::HResult result, const std::wstring& context = L"") noexcept;

}  // namespace zuvelo::shortcut_log
