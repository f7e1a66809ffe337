#include "lorvex/protocol/frame_format.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <tuple>

#include "lorvex/protocol/descriptor.hpp"
#include "lorvex/protocol/names.hpp"
#include "refusal.hpp"

namespace lorvex {
namespace {

using lorvex::testing::refuses;

TEST(FrameFormat, RoundTripsEveryFormat) {
    for (const FrameLayout layout : {FrameLayout::planes, FrameLayout::pixels}) {
        for (const int bytes : {1, 2}) {
            for (int turns = 0; turns < 4; ++turns) {
                const FrameFormat format{layout, bytes, turns};
                EXPECT_EQ(decode_frame_format(encode_frame_format(format)), format);
            }
        }
    }
    EXPECT_EQ((FrameFormat{FrameLayout::pixels, 2, 1}.row_bytes(3, 5)), 90u);
}

TEST(FrameFormat, AcceptsOnlyWhatItWrites) {
    const std::string good = encode_frame_format({FrameLayout::pixels, 2, 3});
    const auto decode = [](std::string bytes) { return [bytes] { decode_frame_format(bytes); }; };
    EXPECT_TRUE(refuses<std::invalid_argument>(decode(""), "not a frame format"));
    EXPECT_TRUE(refuses<std::invalid_argument>(decode("X" + good.substr(1)), "not a frame format"));
    EXPECT_TRUE(
        refuses<std::invalid_argument>(decode(good.substr(0, good.size() - 1)), "truncated"));
    EXPECT_TRUE(refuses<std::invalid_argument>(decode(good + "x"), "wrong length"));
    // Layout, sample size and turns, each one past what exists.
    for (const auto& [place, value, reason] : {std::tuple{8, 2, "unknown layout"},
                                               {12, 4, "samples of 4 bytes"},
                                               {16, 4, "4 quarter turns"},
                                               {19, 1, "quarter turns"}}) {
        std::string bad = good;
        bad[static_cast<std::size_t>(place)] = static_cast<char>(value);
        EXPECT_TRUE(refuses<std::invalid_argument>(decode(bad), reason)) << place;
    }
}

}  // namespace
}  // namespace lorvex
