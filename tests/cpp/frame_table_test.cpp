#include "lorvex/media/frame_table_builder.hpp"

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "lorvex/media/shown_pictures.hpp"
#include "lorvex/protocol/owned_frames.hpp"

namespace lorvex {
namespace {

constexpr std::int64_t kNone = AV_NOPTS_VALUE;

// A packet as a demuxer hands it over; the data only matters for the VP8/VP9 header rules.
struct FakePacket {
    std::int64_t pts;
    std::int64_t dts;
    bool keyframe = false;
    int flags = 0;
    std::vector<std::uint8_t> data = {0};
    std::int64_t duration = 0;
};

AVPacket as_av_packet(FakePacket& fake) {
    AVPacket packet{};
    packet.pts = fake.pts;
    packet.dts = fake.dts;
    packet.flags = fake.flags | (fake.keyframe ? AV_PKT_FLAG_KEY : 0);
    packet.data = fake.data.data();
    packet.size = static_cast<int>(fake.data.size());
    packet.duration = fake.duration;
    return packet;
}

FrameTable table_of(std::vector<FakePacket> packets, AVCodecID codec = AV_CODEC_ID_H264) {
    FrameTableBuilder builder(codec);
    for (FakePacket& packet : packets) {
        const AVPacket av = as_av_packet(packet);
        builder.add(av);
    }
    return builder.finish();
}

std::vector<std::int64_t> first_ranks(const FrameTable& table) {
    std::vector<std::int64_t> ranks;
    for (const TableKeyframe& keyframe : table.keyframes) ranks.push_back(keyframe.first_rank);
    return ranks;
}

TEST(FrameTable, PicturesInPresentationOrderWithTheirKeyframes) {
    // I0 P3 B1 B2 | I4 P7 B5 B6: closed groups of pictures with B-frames.
    const FrameTable table =
        table_of({{0, -2, true}, {3, -1}, {1, 0}, {2, 1}, {4, 2, true}, {7, 3}, {5, 4}, {6, 5}});
    EXPECT_FALSE(table.dts_only);
    EXPECT_EQ(table.timestamps, (std::vector<std::int64_t>{0, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(table.stamps, table.timestamps);
    EXPECT_EQ(first_ranks(table), (std::vector<std::int64_t>{0, 4}));
    EXPECT_EQ(table.start_keyframe(3), 0u);
    EXPECT_EQ(table.start_keyframe(4), 1u);
    EXPECT_EQ(table.start_keyframe(7), 1u);
    EXPECT_EQ(table.find_keyframe(4, 2), 1u);
    EXPECT_EQ(table.find_keyframe(4, 3), std::nullopt);  // same pts, another packet
}

// I0 P3 B1 B2 | I6 B4 B5 P9 B7 B8: B4 and B5 refer to P3.
FrameTable open_gop_table() {
    return table_of({{0, -2, true},
                     {3, -1},
                     {1, 0},
                     {2, 1},
                     {6, 2, true},
                     {4, 3},
                     {5, 4},
                     {9, 5},
                     {7, 6},
                     {8, 7}});
}

TEST(FrameTable, LeadingPicturesOfAnOpenGopNeedTheKeyframeBefore) {
    const FrameTable table = open_gop_table();
    EXPECT_EQ(table.size(), 10);
    EXPECT_EQ(first_ranks(table), (std::vector<std::int64_t>{0, 6}));
    EXPECT_EQ(table.start_keyframe(5), 0u);  // a leading picture of the second keyframe
    EXPECT_EQ(table.start_keyframe(6), 1u);
}

TEST(FrameTable, PicturesToDecodeRunFromEachTargetsKeyframeAndCountSharedStretchesOnce) {
    // Keyframes at ranks 0 and 6, picture 5 a leading picture of the second.
    const FrameTable table = open_gop_table();
    EXPECT_EQ(table.pictures_to_decode({}), 0);
    EXPECT_EQ(table.pictures_to_decode({6}), 1);
    EXPECT_EQ(table.pictures_to_decode({7}), 2);
    EXPECT_EQ(table.pictures_to_decode({5}), 6);               // from the first keyframe
    EXPECT_EQ(table.pictures_to_decode({8, 2, 7, 2}), 3 + 3);  // any order, repeats once
    EXPECT_EQ(table.pictures_to_decode({3, 5}), 6);            // 0..3 shared with 0..5
    EXPECT_EQ(table.pictures_to_decode({-1, 10, 9}), 4);       // outside the table: nothing
}

TEST(FrameTable, PacketsThatShowNothingAreNotFrames) {
    // An edit list's pre-roll keyframe and a sample past its end (discarded), an empty packet
    // (a dropped frame), and packets before the first keyframe.
    const FrameTable table = table_of({{-5, -5},
                                       {-3, -3, true, AV_PKT_FLAG_DISCARD},
                                       {0, -2},
                                       {2, -1},
                                       {1, 0},
                                       {4, 1, false, 0, {}},
                                       {3, 2},
                                       {9, 3, false, AV_PKT_FLAG_DISCARD}});
    EXPECT_EQ(table.timestamps, (std::vector<std::int64_t>{0, 1, 2, 3}));
    // Decoding starts at the discarded keyframe: nothing before it shows.
    ASSERT_EQ(table.keyframes.size(), 1u);
    EXPECT_EQ(table.keyframes[0], (TableKeyframe{-3, -3, 0}));
    EXPECT_EQ(table.start_keyframe(0), 0u);
}

TEST(FrameTable, StreamsWithoutPtsAreCountedAtTheirDts) {
    // AVI with B-frames: no pts at all; picture k is shown at the k-th dts.
    const FrameTable table = table_of(
        {{kNone, 0, true}, {kNone, 1}, {kNone, 2}, {kNone, 3}, {kNone, 4, true}, {kNone, 5}});
    EXPECT_TRUE(table.dts_only);
    EXPECT_EQ(table.timestamps, (std::vector<std::int64_t>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(first_ranks(table), (std::vector<std::int64_t>{0, 4}));
    EXPECT_EQ(table.keyframes[1], (TableKeyframe{4, 4, 4}));
}

TEST(FrameTable, ReferenceFramesWithoutPtsAreShownWhenTheNextOneIsDecoded) {
    // MPEG-4 part 2 in AVI: B-frames carry pts, I and P frames only dts.
    const FrameTable table =
        table_of({{kNone, 0, true}, {kNone, 1}, {2, 2}, {3, 3}, {kNone, 4}, {5, 5}, {6, 6}});
    // I shows at 1 (when P decodes), P(dts 1) at 4, the last P after everything: 7.
    EXPECT_EQ(table.timestamps, (std::vector<std::int64_t>{1, 2, 3, 4, 5, 6, 7}));
    // Each picture is told apart by what the decoder hands it: pts, else dts.
    EXPECT_EQ(table.stamps, (std::vector<std::int64_t>{0, 2, 3, 1, 5, 6, 4}));
    EXPECT_EQ(table.keyframes[0], (TableKeyframe{0, 0, 0}));
}

// An MPEG-2 picture header: start code 00 00 01 00, then picture_coding_type (1 I, 2 P, 3 B)
// in bits 5..3 of the second byte after it.
std::vector<std::uint8_t> mpeg2_picture(int coding_type) {
    return {0, 0, 1, 0xb3, 0x12, 0, 0, 1, 0x00, 0x00, static_cast<std::uint8_t>(coding_type << 3)};
}

TEST(FrameTable, ProgramStreamPicturesWithoutPtsAreShownByTheirKind) {
    // I P B B P B B in decode order; the first P, the second B pair's first and the last P
    // lack a pts, as a program stream's packing leaves them.
    const auto i = mpeg2_picture(1), p = mpeg2_picture(2), b = mpeg2_picture(3);
    const FrameTable table = table_of({{1, 0, true, 0, i, 1},
                                       {kNone, 1, false, 0, p, 1},
                                       {2, 2, false, 0, b, 1},
                                       {3, 3, false, 0, b, 1},
                                       {kNone, 4, false, 0, p, 1},
                                       {kNone, 5, false, 0, b, 1},
                                       {6, 6, false, 0, b, 1}},
                                      AV_CODEC_ID_MPEG2VIDEO);
    // The P at dts 1 shows when the next P decodes (4), the B at its own dts, the last P after
    // everything.
    EXPECT_EQ(table.timestamps, (std::vector<std::int64_t>{1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(table.stamps, (std::vector<std::int64_t>{1, 2, 3, 1, 5, 6, 4}));
}

TEST(PictureKind, ReadFromTheHeadersOfTheCodecsThatNeedIt) {
    const auto kind = [](AVCodecID codec, std::vector<std::uint8_t> data) {
        FakePacket fake{0, 0, false, 0, std::move(data)};
        return picture_kind(codec, as_av_packet(fake));
    };
    EXPECT_EQ(kind(AV_CODEC_ID_MPEG2VIDEO, mpeg2_picture(1)), PictureKind::reference);
    EXPECT_EQ(kind(AV_CODEC_ID_MPEG1VIDEO, mpeg2_picture(2)), PictureKind::reference);
    EXPECT_EQ(kind(AV_CODEC_ID_MPEG2VIDEO, mpeg2_picture(3)), PictureKind::bidirectional);
    EXPECT_EQ(kind(AV_CODEC_ID_MPEG2VIDEO, mpeg2_picture(4)), PictureKind::unknown);
    EXPECT_EQ(kind(AV_CODEC_ID_MPEG2VIDEO, {0, 0, 1, 0, 0x00}), PictureKind::unknown);  // cut
    EXPECT_EQ(kind(AV_CODEC_ID_MPEG4, {0, 0, 1, 0xb6, 0x80}), PictureKind::bidirectional);
    EXPECT_EQ(kind(AV_CODEC_ID_MPEG4, {0, 0, 1, 0xb6, 0x40}), PictureKind::reference);
    EXPECT_EQ(kind(AV_CODEC_ID_H264, mpeg2_picture(3)), PictureKind::unknown);
}

TEST(FrameTable, ALastPictureWithoutAnyTimestampFollowsTheOthers) {
    const FrameTable table = table_of({{0, 0, true}, {10, 10}, {kNone, kNone, false, 0, {0}, 10}});
    EXPECT_EQ(table.timestamps, (std::vector<std::int64_t>{0, 10, 20}));
}

TEST(FrameTable, ALastPacketCutShortByTheEndOfTheFileIsNoPicture) {
    // A damaged packet in the middle still decodes; the truncated last one does not.
    const FrameTable table = table_of({{0, 0, true},
                                       {10, 10, false, AV_PKT_FLAG_CORRUPT},
                                       {20, 20},
                                       {30, 30, false, AV_PKT_FLAG_CORRUPT}});
    EXPECT_EQ(table.timestamps, (std::vector<std::int64_t>{0, 10, 20}));
}

// Packets as facts: a keyframe flag, timestamps and a place in the file.
PacketFacts fact(std::int64_t pts, std::int64_t dts, bool keyframe, std::int64_t pos) {
    PacketFacts packet;
    packet.pts = pts;
    packet.dts = dts;
    packet.keyframe = keyframe;
    packet.shows = true;
    packet.pos = pos;
    return packet;
}

FrameTableBuilder builder_of(const std::vector<PacketFacts>& packets, std::int64_t ticks = 1) {
    FrameTableBuilder builder(AV_CODEC_ID_H264, ticks);
    for (const PacketFacts& packet : packets) builder.add(packet);
    return builder;
}

TEST(FrameTable, AStreamWithoutTimestampsIsNumberedByItsDecode) {
    // A raw stream in decode order: an IDR frame as two fields, P, two B, an I that starts an
    // open group (a recovery point), its leading B and a P. The decode shows the fields as one
    // picture and reorders the rest.
    std::vector<PacketFacts> packets;
    for (int i = 0; i < 8; ++i) packets.push_back(fact(kNone, kNone, i == 0 || i == 5, 100 * i));
    const FrameTableBuilder builder = builder_of(packets, 40);
    EXPECT_EQ(builder.packets_to_decode(), 8u);
    const DecodedPictures decoded{0, 3, 4, 2, 6, 5, 7};
    const FrameTable table = builder.finish(decoded);
    EXPECT_TRUE(table.by_position);
    EXPECT_FALSE(table.dts_only);
    EXPECT_EQ(table.timestamps, (std::vector<std::int64_t>{0, 40, 80, 120, 160, 200, 240}));
    EXPECT_EQ(table.stamps, (std::vector<std::int64_t>{0, 300, 400, 200, 600, 500, 700}));
    // The second keyframe shows exactly its own picture (rank 5) and after; its leading
    // picture (rank 4) needs the first.
    EXPECT_EQ(table.keyframes, (std::vector<TableKeyframe>{{0, kNone, 0}, {500, kNone, 5}}));
    EXPECT_EQ(table.start_keyframe(4), 0u);
    EXPECT_EQ(table.find_keyframe(500, kNone), 1u);
    // The packets carry their pictures' timestamps; the second field shows none of its own.
    EXPECT_EQ(builder.packet_timestamps(decoded),
              (std::vector<std::int64_t>{0, kNone, 120, 40, 80, 200, 160, 240}));
    // Without places of their own the keyframes cannot be sought to.
    for (PacketFacts& packet : packets) packet.pos = -1;
    EXPECT_TRUE(builder_of(packets).finish(decoded).keyframes.empty());
    // A file that cannot be read twice is not decoded: one picture per packet.
    EXPECT_EQ(builder_of(packets).finish().size(), 8);
}

TEST(FrameTable, TheStartOfAStreamCutMidStreamIsWhatItsDecodeShows) {
    // Two pictures before the first keyframe, two leading pictures after it (which a decoder
    // may drop when nothing before the keyframe was decoded), then the stream as usual,
    // including the leading picture of the second keyframe.
    const std::vector<PacketFacts> packets{fact(30, 10, false, 0), fact(20, 20, false, 1),
                                           fact(60, 30, true, 2),  fact(40, 40, false, 3),
                                           fact(50, 50, false, 4), fact(70, 60, false, 5),
                                           fact(90, 70, true, 6),  fact(80, 80, false, 7)};
    const FrameTableBuilder builder = builder_of(packets);
    // Five packets in doubt, and the decoder given the packets after them as well, so that
    // it decides on those five as a full decode does.
    EXPECT_EQ(builder.packets_to_decode(), 8u);
    // The decode showed the pictures before the keyframe and dropped its leading ones; after
    // the first five the packets decide (picture 5 counts though this decode left it out).
    const FrameTable table = builder.finish(DecodedPictures{1, 0, 2, 7, 6});
    EXPECT_FALSE(table.by_position);
    EXPECT_EQ(table.timestamps, (std::vector<std::int64_t>{20, 30, 60, 70, 80, 90}));
    EXPECT_EQ(first_ranks(table), (std::vector<std::int64_t>{2, 5}));
    EXPECT_EQ(table.start_keyframe(1), std::nullopt);  // only from the first packet
    // A stream that starts at a keyframe without leading pictures needs no decode; one
    // without any keyframe is all decoded.
    EXPECT_EQ(builder_of({fact(0, -1, true, 0), fact(20, 0, false, 1), fact(10, 1, false, 2)})
                  .packets_to_decode(),
              0u);
    std::vector<PacketFacts> no_keyframe = packets;
    for (PacketFacts& packet : no_keyframe) packet.keyframe = false;
    EXPECT_EQ(builder_of(no_keyframe).packets_to_decode(), packets.size());
    std::vector<PacketFacts> long_stream = packets;
    for (std::int64_t i = 0; i < 100; ++i)
        long_stream.push_back(fact(100 + i, 90 + i, false, 8 + i));
    EXPECT_EQ(builder_of(long_stream).packets_to_decode(), 5u + 64u);
}

TEST(ShownPictures, Vp8AndVp9HeadersSayWhetherAFrameIsShown) {
    FakePacket vp8_shown{0, 0, true, 0, {0x10, 0, 0}};
    FakePacket vp8_hidden{0, 0, false, 0, {0x01, 0, 0}};
    EXPECT_TRUE(packet_shows_picture(AV_CODEC_ID_VP8, as_av_packet(vp8_shown)));
    EXPECT_FALSE(packet_shows_picture(AV_CODEC_ID_VP8, as_av_packet(vp8_hidden)));
    // frame_marker 10, profile 0, show_existing 0, frame_type, show_frame.
    FakePacket vp9_shown{0, 0, false, 0, {0b10000010}};
    FakePacket vp9_hidden{0, 0, false, 0, {0b10000000}};
    FakePacket vp9_existing{0, 0, false, 0, {0b10001000}};
    FakePacket vp9_profile3_hidden{0, 0, false, 0, {0b10110000, 0}};
    EXPECT_TRUE(packet_shows_picture(AV_CODEC_ID_VP9, as_av_packet(vp9_shown)));
    EXPECT_FALSE(packet_shows_picture(AV_CODEC_ID_VP9, as_av_packet(vp9_hidden)));
    EXPECT_TRUE(packet_shows_picture(AV_CODEC_ID_VP9, as_av_packet(vp9_existing)));
    EXPECT_FALSE(packet_shows_picture(AV_CODEC_ID_VP9, as_av_packet(vp9_profile3_hidden)));
    // A superframe of a hidden alt-ref (2 bytes) and a shown frame (1 byte), sizes one byte
    // wide: shown. The same with both hidden: not.
    const std::uint8_t marker = 0xc0 | 0x01;
    FakePacket super_shown{0, 0, false, 0, {0b10000000, 0, 0b10000010, marker, 2, 1, marker}};
    FakePacket super_hidden{0, 0, false, 0, {0b10000000, 0, 0b10000000, marker, 2, 1, marker}};
    EXPECT_TRUE(packet_shows_picture(AV_CODEC_ID_VP9, as_av_packet(super_shown)));
    EXPECT_FALSE(packet_shows_picture(AV_CODEC_ID_VP9, as_av_packet(super_hidden)));
    // Other codecs: every non-empty, non-discarded packet shows one picture.
    EXPECT_TRUE(packet_shows_picture(AV_CODEC_ID_H264, as_av_packet(vp8_hidden)));
}

TEST(OwnedFrames, EachFrameBelongsToTheIntervalHoldingItsTimestamp) {
    FrameTable table;
    table.timestamps = {-2, 0, 10, 20, 30, 40, 50, 60, 70, 80, 95, 120};  // a VFR stream
    table.stamps = table.timestamps;
    WorkerJob job;
    for (const std::int64_t index : {11, 0, 3, 4, 7, 8, 9, 5, 1}) {
        job.rows.push_back({index, static_cast<std::int64_t>(job.rows.size())});
    }
    job.row_count = static_cast<std::int64_t>(job.rows.size());
    job.start_pts = 0;
    job.end_pts = 100;  // the record ends before the last picture's synthesized time
    const auto indices = [&](PtsInterval interval) {
        std::vector<std::int64_t> found;
        for (const OwnedFrame& frame : owned_frames(job, interval, table)) {
            found.push_back(frame.frame_index);
        }
        return found;
    };
    // The first interval also owns what lies before the record's start, the last what lies
    // at or after its end: every frame exactly once.
    EXPECT_EQ(indices({0, 40, 0}), (std::vector<std::int64_t>{0, 1, 3, 4}));
    EXPECT_EQ(indices({40, 80, 0}), (std::vector<std::int64_t>{5, 7, 8}));
    EXPECT_EQ(indices({80, 100, 0}), (std::vector<std::int64_t>{9, 11}));
    EXPECT_EQ(owned_frames(job, {0, 40, 0}, table).front(), (OwnedFrame{0, 1}));
    job.end_pts = job.start_pts;  // a single instant: everything to every interval
    EXPECT_EQ(indices({0, 0, 0}).size(), 9u);
    job.rows.push_back({12, 9});
    EXPECT_THROW(owned_frames(job, {0, 0, 0}, table), std::out_of_range);
}

}  // namespace
}  // namespace lorvex
