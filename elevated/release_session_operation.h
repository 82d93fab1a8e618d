#pragma once

#include <functional>
#include <string>

#include "common/error_codes.h"

namespace zuvelo {

// Removes a whole folder tree; returns its result code.
using TreeRemover = std::function<ErrorCode(const std::wstring& root)>;

// Shared body of --release-session and the "release_session" step; operation is
// the word of their events. A missing folder is a warning and 0.
ErrorCode ReleaseSessionFolder(const std::wstring& sessionRoot, const std::string& operation,
                               const TreeRemover& removeTree);

}  // namespace zuvelo
