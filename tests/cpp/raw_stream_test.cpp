// A raw H.264 stream carries no timestamps: its table comes from a decode, its pictures are
// known by their packets' places in the file, and seeks go to those places and land on the
// keyframe aimed at. (The fuzzers' corpus test runs a decode job over the same stream.)
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "../fuzz/fuzz_targets.hpp"
#include "lorvex/media/frame_scan.hpp"
#include "lorvex/worker/video_decoder.hpp"

namespace lorvex {
namespace {

// Ten pictures, keyframes every four, two B-frames between references.
const std::string kRaw =
    (std::filesystem::path(LORVEX_FUZZ_CORPUS_DIR) / "video_fuzzer" / "h264_raw").string();

class RawStream : public ::testing::Test {
  protected:
    void SetUp() override { silence_ffmpeg_log(); }
};

TEST_F(RawStream, ItsTableIsStampedByPosition) {
    const FrameTable table = scan_frame_table(kRaw);
    ASSERT_TRUE(table.by_position);
    ASSERT_EQ(table.size(), 10);
    // Ranks in frame durations.
    const std::int64_t duration = table.timestamps[1];
    EXPECT_GT(duration, 0);
    for (std::int64_t i = 0; i < table.size(); ++i) {
        EXPECT_EQ(table.timestamps[static_cast<std::size_t>(i)], i * duration);
    }
    ASSERT_EQ(table.keyframes.size(), 3u);
    EXPECT_EQ(table.keyframes[0].stamp, 0);  // the first packet starts the file
    EXPECT_EQ(table.keyframes[1].first_rank, 4);
    EXPECT_EQ(table.keyframes[2].first_rank, 8);
    // The same from the bytes, read through a reader.
    std::ifstream file(kRaw, std::ios::binary);
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
    EXPECT_EQ(scan_frame_table(fuzz::memory_source(kRaw, bytes)), table);
}

TEST_F(RawStream, SeeksLandOnTheKeyframeAimedAtAndItsPicturesAreKnown) {
    const FrameTable table = scan_frame_table(kRaw);
    VideoDecoder decoder(kRaw, 1);
    decoder.stamp_by_position();
    for (std::size_t k = table.keyframes.size(); k-- > 0;) {
        const TableKeyframe& keyframe = table.keyframes[k];
        const std::optional<Landing> landing = decoder.seek(keyframe.stamp);
        ASSERT_TRUE(landing) << "keyframe " << k;
        EXPECT_EQ(table.find_keyframe(landing->stamp, landing->dts), k);
        // Every picture from the keyframe's first rank on comes out, stamped as the table says.
        for (std::int64_t rank = keyframe.first_rank; rank < table.size(); ++rank) {
            ASSERT_NE(decoder.next_frame(), nullptr) << "rank " << rank;
            EXPECT_EQ(decoder.frame_stamp(), table.stamps[static_cast<std::size_t>(rank)]);
        }
        EXPECT_EQ(decoder.next_frame(), nullptr);
    }
}

}  // namespace
}  // namespace lorvex
