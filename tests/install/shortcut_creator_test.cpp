#include "install/shortcut_creator.h"

#include <gtest/gtest.h>

#include "platform/shell_link.h"

namespace zuvelo {
namespace {

TEST(ShortcutComErrorsTest, HResultsMapToResultCodesAndReadAsHex) {
    const struct {
        platform::HResult hr;
        ErrorCode code;
    } cases[] = {
        {platform::kE_FAIL, ErrorCode::ShortcutCreateFailed},
        {platform::kE_ACCESSDENIED, ErrorCode::ShortcutCreateFailed},
        {platform::kE_OUTOFMEMORY, ErrorCode::InsufficientMemory},
        {platform::kE_INVALIDARG, ErrorCode::InvalidArguments},
        {static_cast<platform::HResult>(0x80070003u), ErrorCode::ShortcutCreateFailed},
    };
    for (const auto& c : cases) EXPECT_EQ(MapShortcutHResult(c.hr), c.code) << c.hr;
    EXPECT_EQ(ComErrorMessage("IPersistFile::Save", platform::kE_FAIL, L"/m/Zuvelo.lnk"),
              "IPersistFile::Save failed with HRESULT: 0x80004005 - /m/Zuvelo.lnk");
    EXPECT_EQ(ComErrorMessage("IShellLink::SetPath", 0x1f), "IShellLink::SetPath failed with HRESULT: 0x1f");
}

}  // namespace
}  // namespace zuvelo
