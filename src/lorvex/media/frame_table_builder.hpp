// The frame table of a video stream made from its packets, without decoding them (see
// protocol/frame_table.hpp for what it holds).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "lorvex/media/ffmpeg.hpp"
#include "lorvex/media/picture_kinds.hpp"
#include "lorvex/protocol/frame_table.hpp"

namespace lorvex {

static_assert(kNoTimestamp == AV_NOPTS_VALUE);

// What the table needs to know of one packet: read from the packet itself, or from a sample
// table that describes it (core/mp4_index.*).
struct PacketFacts {
    std::int64_t pts = AV_NOPTS_VALUE;
    std::int64_t dts = AV_NOPTS_VALUE;
    std::int64_t duration = 0;
    bool keyframe = false;
    bool shows = false;    // packet_shows_picture
    bool corrupt = false;  // cut short by the end of the file
    PictureKind kind = PictureKind::unknown;
};

// The facts of a packet of a stream of `codec`, from the packet.
PacketFacts facts_of(AVCodecID codec, const AVPacket& packet);

// Builds the table of one stream from its packets, given in decode order.
class FrameTableBuilder {
  public:
    explicit FrameTableBuilder(AVCodecID codec) : codec_(codec) {}

    void add(const AVPacket& packet) { add(facts_of(codec_, packet)); }
    void add(const PacketFacts& packet) { packets_.push_back(packet); }
    FrameTable finish() const;

  private:
    using SeenPacket = PacketFacts;
    // What the decoder will hand the packet's picture (see FrameTable::stamps).
    static std::int64_t stamp_of(const SeenPacket& packet, std::int64_t time);

    AVCodecID codec_;
    std::vector<SeenPacket> packets_;
};

}  // namespace lorvex
