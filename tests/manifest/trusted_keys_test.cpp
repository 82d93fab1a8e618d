#include "manifest/trusted_keys.h"

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "manifest/base64.h"
#include "manifest/ed25519.h"
#include "tests/support/manifest_signing.h"
#include "tests/support/test_folders.h"

namespace zuvelo {
namespace {

TEST(ManifestTestKey, CommittedHalvesBelongTogether) {
    const std::string published = test::ReadFile(test::TestKeysFolder() / "manifest_test_key.pub");
    const std::string derived = test::SigningKey::ManifestTestKey().PublicKeyBase64();
    EXPECT_EQ(SplitPublicKeyList(published), std::vector<std::string>{derived});
}

// Whatever the build was configured with, CMake let through only usable keys. The
// builds of scripts/test must also trust the test key: without it every signature
// would be accepted unchecked and this test would have nothing to look at.
TEST(TrustedKeys, BuildKeysAreUsable) {
    const std::vector<std::string> keys = BuildManifestPublicKeys();
#ifdef ZUVELO_REQUIRE_TEST_KEY
    const std::vector<std::string> testKey =
        SplitPublicKeyList(test::ReadFile(test::TestKeysFolder() / "manifest_test_key.pub"));
    ASSERT_EQ(testKey.size(), 1u);
    EXPECT_THAT(keys, ::testing::Contains(testKey[0]))
        << "this build does not trust the test key: configure it with -DZUVELO_MANIFEST_PUBLIC_KEYS";
#endif
    for (const std::string& key : keys) {
        const auto raw = DecodeBase64(key);
        ASSERT_TRUE(raw.has_value()) << key;
        EXPECT_EQ(raw->size(), kEd25519PublicKeyBytes);
    }
}

TEST(TrustedKeys, SplitPublicKeyList) {
    using Keys = std::vector<std::string>;
    EXPECT_EQ(SplitPublicKeyList(""), Keys{});
    EXPECT_EQ(SplitPublicKeyList("a"), Keys{"a"});
    EXPECT_EQ(SplitPublicKeyList("a;b"), (Keys{"a", "b"}));
    EXPECT_EQ(SplitPublicKeyList(" a , b ;; c\n"), (Keys{"a", "b", "c"}));
    EXPECT_EQ(SplitPublicKeyList(";, ;"), Keys{});
}

}  // namespace
}  // namespace zuvelo
