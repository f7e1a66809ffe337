// How the engine shares a load's frames out among decoders, and the messages that carry a
// share to a warm decoder and its rows back.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "lorvex/engine/load_messages.hpp"
#include "lorvex/engine/share_plan.hpp"
#include "lorvex/protocol/decoder_service_messages.hpp"
#include "lorvex/protocol/decoder_session.hpp"
#include "refusal.hpp"

namespace lorvex {
namespace {

using engine::Share;
using testing::refuses;

// `count` pictures with a keyframe every `spacing` (closed groups of pictures).
FrameTable table_with_keyframes_every(std::int64_t count, std::int64_t spacing) {
    FrameTable table;
    for (std::int64_t i = 0; i < count; ++i) {
        table.timestamps.push_back(i);
        table.stamps.push_back(i);
        if (i % spacing == 0) table.keyframes.push_back({i, i, i});
    }
    return table;
}

std::vector<std::int64_t> range_of(std::int64_t first, std::int64_t end) {
    std::vector<std::int64_t> frames(static_cast<std::size_t>(end - first));
    std::iota(frames.begin(), frames.end(), first);
    return frames;
}

TEST(SharePlan, BalancedSharesCutAtKeyframes) {
    const FrameTable table = table_with_keyframes_every(1000, 60);
    // The first 300 frames go to both decoders, 180 and 120 pictures; three decoders split
    // the five groups of pictures 2 + 2 + 1.
    EXPECT_EQ(engine::balanced_shares(table, range_of(0, 300), 2),
              (std::vector<Share>{{0, 180, 180}, {180, 300, 120}}));
    EXPECT_EQ(engine::balanced_shares(table, range_of(0, 300), 3).size(), 3u);
    // A clip inside one group goes to one decoder, which decodes from the group's keyframe.
    EXPECT_EQ(engine::balanced_shares(table, range_of(70, 86), 2),
              (std::vector<Share>{{0, 16, 26}}));
    // Sparse frames: each costs the pictures from its keyframe, and a seek to get there;
    // frames of one group share them. 59 costs 60, 61 costs 2, 600 and 601 2 and a seek.
    EXPECT_EQ(engine::balanced_shares(table, std::vector<std::int64_t>{59, 61, 600, 601}, 2),
              (std::vector<Share>{{0, 1, 60}, {1, 4, 2 + 2 + engine::kSeekCost}}));
    EXPECT_TRUE(engine::balanced_shares(table, {}, 2).empty());
}

TEST(SharePlan, ADecoderDecodesOnThroughAShortGap) {
    // Frames 58 and 61 on either side of the keyframe at 60: decoding on from 58 costs
    // pictures 59 to 61, less than starting afresh at 60 after a seek would save.
    const FrameTable table = table_with_keyframes_every(200, 60);
    EXPECT_EQ(engine::balanced_shares(table, std::vector<std::int64_t>{58, 61}, 1),
              (std::vector<Share>{{0, 2, 62}}));
}

TEST(SharePlan, StreamSharesHoldAtLeastAChunk) {
    // Every picture a keyframe: shares of a chunk, not of a picture, so that decoders dealt
    // shares in turn never decode the same pictures.
    const FrameTable intra = table_with_keyframes_every(100, 1);
    const std::vector<Share> shares = engine::stream_shares(intra, range_of(0, 100), 32);
    ASSERT_EQ(shares.size(), 4u);
    EXPECT_EQ(shares[0], (Share{0, 32, 32}));
    EXPECT_EQ(shares[3], (Share{96, 100, 4}));
    // Long groups of pictures are not cut further.
    const FrameTable long_groups = table_with_keyframes_every(500, 250);
    EXPECT_EQ(engine::stream_shares(long_groups, range_of(0, 500), 32).size(), 2u);
}

TEST(LoadMessages, RunsOfFrames) {
    EXPECT_EQ(engine::runs_of({}), "none");
    EXPECT_EQ(engine::runs_of({0, 1, 2, 40, 52, 53}), "0-2, 40, 52-53");
    EXPECT_EQ(engine::runs_of({1, 3, 5, 7}, 2), "1, 3 and 2 more runs");
}

decoder_session::Job sample_job() {
    decoder_session::Job job;
    job.height = 48;
    job.width = 64;
    job.format = {FrameLayout::pixels, 2, 1};
    job.interpolation = "BICUBIC";
    job.threads = 2;
    job.row_count = 4;
    job.rows_allowed = 2;
    job.drain = true;
    job.frames = {{3, 0}, {10, 2}, {11, 1}};
    return job;
}

TEST(DecoderSession, JobsAreReadBackExactlyOrRefused) {
    const decoder_session::Job job = sample_job();
    EXPECT_EQ(decoder_session::decode_job(decoder_session::encode_job(job)), job);
    const auto refused = [](decoder_session::Job bad, const char* reason) {
        const std::string bytes = decoder_session::encode_job(bad);
        return refuses<std::invalid_argument>([&] { decoder_session::decode_job(bytes); }, reason);
    };
    decoder_session::Job bad = job;
    bad.frames = {{3, 0}, {3, 1}};
    EXPECT_TRUE(refused(bad, "frames out of order"));
    bad.frames = {{3, 0}, {4, 0}};
    EXPECT_TRUE(refused(bad, "given twice"));
    bad.frames = {{3, 4}};
    EXPECT_TRUE(refused(bad, "outside the memory file"));
    bad = job;
    bad.interpolation = "SINC";
    EXPECT_TRUE(refused(bad, "unknown interpolation"));
    bad = job;
    bad.threads = 0;
    EXPECT_TRUE(refused(bad, "thread count"));
    const std::string bytes = decoder_session::encode_job(job);
    EXPECT_TRUE(refuses<std::invalid_argument>(
        [&] { decoder_session::decode_job(bytes.substr(0, bytes.size() - 1)); }, "bad job"));
    EXPECT_TRUE(refuses<std::invalid_argument>([&] { decoder_session::decode_job(bytes + "x"); },
                                               "wrong length"));
}

std::string message_bytes(std::int32_t kind, std::int32_t value, std::string text = {}) {
    const decoder_service::ReplyMessage message{decoder_service::kReplyMagic, kind, value};
    return std::string(reinterpret_cast<const char*>(&message), sizeof message) + text;
}

TEST(DecoderSession, ReportsAreCutFromWhatArrivesInAnyPieces) {
    const std::string stream =
        message_bytes(1, 4711) +
        message_bytes(static_cast<std::int32_t>(decoder_session::Report::row_written), 3) +
        message_bytes(static_cast<std::int32_t>(decoder_session::Report::job_failed), 9,
                      "lorvex: x") +
        message_bytes(4, 9);
    for (const std::size_t piece : {std::size_t{1}, std::size_t{5}, stream.size()}) {
        decoder_session::MessageReader reader;
        std::vector<decoder_session::Message> messages;
        for (std::size_t at = 0; at < stream.size(); at += piece) {
            reader.add(std::string_view(stream).substr(at, piece));
            while (auto message = reader.next()) messages.push_back(*message);
        }
        ASSERT_EQ(messages.size(), 4u) << piece;
        EXPECT_EQ(messages[0].value, 4711);
        EXPECT_EQ(messages[1].value, 3);
        EXPECT_EQ(messages[2].text, "lorvex: x");
        EXPECT_EQ(messages[3].kind, 4);
    }
    decoder_session::MessageReader reader;
    reader.add("not a decoder's report");
    EXPECT_TRUE(refuses<std::invalid_argument>([&] { reader.next(); }, "bad report"));
}

}  // namespace
}  // namespace lorvex
