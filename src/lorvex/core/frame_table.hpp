// The frame table of a video stream: every picture that a full decode of the stream shows, in
// presentation order, and where decoding must start to show each one exactly. Frame i of a
// video is picture i of its table; the table is made from one pass over the packets, without
// decoding.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "lorvex/core/ffmpeg.hpp"
#include "lorvex/core/picture_kinds.hpp"

namespace lorvex {

// A packet from which decoding can start.
struct TableKeyframe {
    std::int64_t stamp = AV_NOPTS_VALUE;  // its packet's pts, or dts where it has none
    std::int64_t dts = AV_NOPTS_VALUE;
    // Decoding from this keyframe shows every picture from this rank on exactly; pictures of
    // lower rank that come out after it (leading pictures of an open GOP) cannot be trusted.
    std::int64_t first_rank = 0;
    friend bool operator==(const TableKeyframe&, const TableKeyframe&) = default;
};

struct FrameTable {
    // The stream's packets carry no pts (AVI, some program streams with B-frames): pictures
    // are known by the order in which they come out, and picture k is shown at the k-th
    // smallest dts.
    bool dts_only = false;
    std::vector<std::int64_t> timestamps;  // one per picture, ascending
    // One per picture: the pts of its packet, or the packet's dts where it has no pts. The
    // decoder hands each picture the stamp of its packet, which is how a worker tells which
    // picture came out.
    std::vector<std::int64_t> stamps;
    std::vector<TableKeyframe> keyframes;  // in decode order; first_rank never decreases

    std::int64_t size() const noexcept { return static_cast<std::int64_t>(timestamps.size()); }

    // The keyframe (index into `keyframes`) to start decoding at to show picture `rank`: the
    // last one whose first_rank is not above it. Nothing when only a decode from the first
    // packet of the file shows it.
    std::optional<std::size_t> start_keyframe(std::int64_t rank) const;

    // How many pictures showing `ranks` takes: each from its start keyframe up to itself,
    // stretches that several share counted once. Ranks outside the table cost nothing.
    std::int64_t pictures_to_decode(std::vector<std::int64_t> ranks) const;

    // The keyframe whose packet carries this stamp and dts, if it is one of the table's.
    std::optional<std::size_t> find_keyframe(std::int64_t stamp, std::int64_t dts) const;

    friend bool operator==(const FrameTable&, const FrameTable&) = default;
};

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
