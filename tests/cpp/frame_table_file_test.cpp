#include "lorvex/protocol/frame_table_file.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

#include "refusal.hpp"

namespace lorvex {
namespace {

using lorvex::testing::refuses;

IdentifiedTable sample() {
    IdentifiedTable identified;
    identified.file = {7, 123456, 1 << 20, 1'700'000'000'123'456'789};
    identified.table.dts_only = true;
    identified.table.timestamps = {-4, 0, 0, 9};
    identified.table.stamps = {-4, 3, 0, 9};
    identified.table.keyframes = {{-4, -6, 0}, {9, kNoTimestamp, 3}};
    return identified;
}

TEST(FrameTableFile, RoundTrips) {
    const IdentifiedTable original = sample();
    const IdentifiedTable decoded = decode_frame_table(encode_frame_table(original));
    EXPECT_EQ(decoded.file, original.file);
    EXPECT_EQ(decoded.table, original.table);
    const IdentifiedTable empty{};
    EXPECT_EQ(decode_frame_table(encode_frame_table(empty)).table, FrameTable{});
    IdentifiedTable by_position = sample();
    by_position.table.dts_only = false;
    by_position.table.by_position = true;
    EXPECT_EQ(decode_frame_table(encode_frame_table(by_position)).table, by_position.table);
}

TEST(FrameTableFile, AcceptsOnlyWhatItWrites) {
    const std::string good = encode_frame_table(sample());
    const auto decode = [](std::string bytes) { return [bytes] { decode_frame_table(bytes); }; };
    EXPECT_TRUE(refuses<std::invalid_argument>(decode(""), "not a frame table"));
    EXPECT_TRUE(refuses<std::invalid_argument>(decode("X" + good.substr(1)), "not a frame table"));
    EXPECT_TRUE(
        refuses<std::invalid_argument>(decode(good.substr(0, good.size() - 1)), "wrong length"));
    EXPECT_TRUE(refuses<std::invalid_argument>(decode(good + "x"), "wrong length"));
    std::string flags = good;
    flags[8 + 32] = 4;
    EXPECT_TRUE(refuses<std::invalid_argument>(decode(flags), "unknown flags"));
    flags[8 + 32] = 3;  // without pts, and without any timestamp: not both
    EXPECT_TRUE(refuses<std::invalid_argument>(decode(flags), "both"));
    std::string counts = good;
    counts[8 + 40 + 7] = 0x7f;  // an absurd picture count must not allocate or wrap
    EXPECT_TRUE(refuses<std::invalid_argument>(decode(counts), "wrong length"));
    IdentifiedTable unordered = sample();
    unordered.table.timestamps = {5, 1, 2, 3};
    EXPECT_TRUE(refuses<std::invalid_argument>(decode(encode_frame_table(unordered)),
                                               "timestamps out of order"));
    IdentifiedTable ranks = sample();
    ranks.table.keyframes[1].first_rank = 5;  // beyond the four pictures
    EXPECT_TRUE(refuses<std::invalid_argument>(decode(encode_frame_table(ranks)),
                                               "keyframe ranks out of order"));
}

TEST(FrameTableFile, IdentifiesFilesByTheirState) {
    EXPECT_EQ(identify_file("/nonexistent/video.mp4"), std::nullopt);
    EXPECT_EQ(identify_file("/proc/self"), std::nullopt);  // not a regular file
    const std::optional<FileIdentity> self = identify_file("/proc/self/exe");
    ASSERT_TRUE(self.has_value());
    EXPECT_EQ(identify_file("/proc/self/exe"), self);
}

}  // namespace
}  // namespace lorvex
