#include "platform/sha256.h"

#include <string>

#include <gtest/gtest.h>

namespace zuvelo::platform {
namespace {

TEST(Sha256Test, KnownVectorsStreamedAndInOnePiece) {
    EXPECT_EQ(Sha256Hex("abc", 3), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha256Hex("", 0), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    Sha256 streamed;
    ASSERT_TRUE(streamed.Ok());
    const std::string text = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    for (char c : text) ASSERT_TRUE(streamed.Update(&c, 1));
    std::string hex;
    ASSERT_TRUE(streamed.Finish(hex));
    EXPECT_EQ(hex, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(streamed.FailedStep(), Sha256::Step::None);
}

TEST(Sha256Test, LowerHex) {
    const unsigned char bytes[] = {0x00, 0x0f, 0xa0, 0xff};
    EXPECT_EQ(ToLowerHex(bytes, sizeof bytes), "000fa0ff");
}

}  // namespace
}  // namespace zuvelo::platform
