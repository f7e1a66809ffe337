#include "lorvex/protocol/base64.hpp"

#include <gtest/gtest.h>

#include <string>

#include "refusal.hpp"

namespace lorvex {
namespace {

std::string as_text(const std::vector<std::uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

TEST(Base64, DecodesEveryPaddingLength) {
    // The test vectors of RFC 4648, section 10.
    EXPECT_EQ(as_text(decode_base64("")), "");
    EXPECT_EQ(as_text(decode_base64("Zg==")), "f");
    EXPECT_EQ(as_text(decode_base64("Zm8=")), "fo");
    EXPECT_EQ(as_text(decode_base64("Zm9v")), "foo");
    EXPECT_EQ(as_text(decode_base64("Zm9vYg==")), "foob");
    EXPECT_EQ(as_text(decode_base64("Zm9vYmE=")), "fooba");
    EXPECT_EQ(as_text(decode_base64("Zm9vYmFy")), "foobar");
}

TEST(Base64, DecodesEveryByteValueAndBothHighCharacters) {
    // base64.b64encode(bytes(range(256))) from CPython.
    const char* encoded =
        "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7PD0+"
        "P0BBQkNERUZHSElKS0xNTk9QUVJTVFVWV1hZWltcXV5fYGFiY2RlZmdoaWprbG1ub3BxcnN0dXZ3eHl6e3x9"
        "fn+AgYKDhIWGh4iJiouMjY6PkJGSk5SVlpeYmZqbnJ2en6ChoqOkpaanqKmqq6ytrq+wsbKztLW2t7i5uru8"
        "vb6/wMHCw8TFxsfIycrLzM3Oz9DR0tPU1dbX2Nna29zd3t/g4eLj5OXm5+jp6uvs7e7v8PHy8/T19vf4+fr7"
        "/P3+/w==";
    const auto bytes = decode_base64(encoded);
    ASSERT_EQ(bytes.size(), 256u);
    for (std::size_t i = 0; i < bytes.size(); ++i) EXPECT_EQ(bytes[i], i);
}

TEST(Base64, RefusesWhatB64encodeNeverWrites) {
    using lorvex::testing::refuses;
    const auto decode = [](std::string_view text) { return [text] { decode_base64(text); }; };
    EXPECT_TRUE(refuses<CommandLineError>(decode("Zm9"), "length 3 is not a multiple of 4"));
    EXPECT_TRUE(refuses<CommandLineError>(decode("Zm9vY"), "not a multiple of 4"));
    EXPECT_TRUE(refuses<CommandLineError>(decode("Zm 9"), "byte 0x20 is not base64 at offset 2"));
    EXPECT_TRUE(refuses<CommandLineError>(decode("Zm9v\nYmFy"), "not a multiple of 4"));
    EXPECT_TRUE(refuses<CommandLineError>(decode("Zm9\n"), "byte 0x0a is not base64"));
    EXPECT_TRUE(refuses<CommandLineError>(decode("Zm-v"), "'-' is not base64"));  // urlsafe
    EXPECT_TRUE(refuses<CommandLineError>(decode("Zm_v"), "'_' is not base64"));
    EXPECT_TRUE(refuses<CommandLineError>(decode("Zm9\xff"), "byte 0xff is not base64"));
    EXPECT_TRUE(refuses<CommandLineError>(decode(std::string_view("Zm\0v", 4)), "byte 0x00"));
    // Padding anywhere but at the very end, or more of it than a quantum can have.
    EXPECT_TRUE(refuses<CommandLineError>(decode("Zg==Zm9v"), "misplaced padding at offset 2"));
    EXPECT_TRUE(refuses<CommandLineError>(decode("Z==="), "misplaced padding at offset 1"));
    EXPECT_TRUE(refuses<CommandLineError>(decode("===="), "misplaced padding at offset 0"));
    EXPECT_TRUE(refuses<CommandLineError>(decode("Zm=v"), "misplaced padding at offset 2"));
    // Unused bits set: other encoders' text for "f"/"fo", never b64encode's.
    EXPECT_TRUE(refuses<CommandLineError>(decode("Zh=="), "non-zero bits"));
    EXPECT_TRUE(refuses<CommandLineError>(decode("Zm9="), "non-zero bits"));
}

}  // namespace
}  // namespace lorvex
