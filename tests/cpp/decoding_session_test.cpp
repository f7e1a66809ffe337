// A decoder's deliveries over a file whose pictures do not each have a stamp of their own: an
// MPEG-1 program stream whose packets after the first carry no pts, so that the second
// picture's stamp (its dts) is the first's (its pts).
#include "lorvex/worker/decoding_session.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace lorvex {
namespace {

const std::string kSharedStamps =
    (std::filesystem::path(LORVEX_FUZZ_CORPUS_DIR) / "video_fuzzer" / "mpeg1_ps_shared_stamps")
        .string();

// The luma of each picture delivered, by frame.
std::vector<std::vector<std::uint8_t>> delivered(DecodingSession& session,
                                                 const std::vector<std::int64_t>& frames,
                                                 DecodingSession::Ending ending) {
    std::vector<OwnedFrame> owned;
    for (const std::int64_t frame : frames) owned.push_back({frame, frame});
    std::vector<std::vector<std::uint8_t>> pictures;
    session.deliver(
        owned, 1,
        [&](const AVFrame& picture, const OwnedFrame& frame) {
            EXPECT_EQ(frame.frame_index, frames[pictures.size()]);
            std::vector<std::uint8_t> luma;
            for (int y = 0; y < picture.height; ++y) {
                const std::uint8_t* line = picture.data[0] + y * picture.linesize[0];
                luma.insert(luma.end(), line, line + picture.width);
            }
            pictures.push_back(std::move(luma));
        },
        ending);
    return pictures;
}

TEST(DecodingSession, EveryFrameComesAloneAndDrainedAsInAFullDecode) {
    silence_ffmpeg_log();
    DecodingSession whole(VideoSource{kSharedStamps, {}});
    const FrameTable& table = whole.table();
    ASSERT_EQ(table.size(), 10);
    ASSERT_EQ(table.stamps[0], table.stamps[1]);  // what this file is here for
    std::vector<std::int64_t> all(static_cast<std::size_t>(table.size()));
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::int64_t>(i);
    const auto full = delivered(whole, all, DecodingSession::Ending::keep_place);
    ASSERT_EQ(full.size(), all.size());
    for (const std::int64_t frame : all) {
        DecodingSession alone(VideoSource{kSharedStamps, {}});
        const auto pictures = delivered(alone, {frame}, DecodingSession::Ending::drain);
        ASSERT_EQ(pictures.size(), 1u) << "frame " << frame;
        EXPECT_EQ(pictures[0], full[static_cast<std::size_t>(frame)]) << "frame " << frame;
    }
}

}  // namespace
}  // namespace lorvex
