// The frame table of a video stream made from its packets (see protocol/frame_table.hpp for
// what it holds). The packets tell it all, except where only the decoder can say which
// pictures it shows: a stream whose packets carry no timestamps at all (raw elementary
// streams), and the start of a stream cut mid-stream (what comes before its first keyframe,
// and that keyframe's leading pictures). Those packets are decoded once
// (decoded_pictures.hpp) and the table takes the decoder's word for them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "lorvex/media/ffmpeg.hpp"
#include "lorvex/media/packed_frames.hpp"
#include "lorvex/media/picture_kinds.hpp"
#include "lorvex/protocol/frame_table.hpp"

namespace lorvex {

static_assert(kNoTimestamp == AV_NOPTS_VALUE);

// What the table needs to know of one packet: read from the packet itself, or from a sample
// table that describes it (mp4_index.hpp).
struct PacketFacts {
    std::int64_t pts = AV_NOPTS_VALUE;
    std::int64_t dts = AV_NOPTS_VALUE;
    std::int64_t duration = 0;
    bool keyframe = false;
    bool shows = false;    // packet_shows_picture
    bool corrupt = false;  // cut short by the end of the file
    PictureKind kind = PictureKind::unknown;
    std::int64_t pos = -1;  // where the packet starts in the file, when known
};

// The facts of a packet of a stream of `codec`, from the packet.
PacketFacts facts_of(AVCodecID codec, const AVPacket& packet);

// The duration of one frame of `stream` in its time base (at least 1): the step between the
// timestamps lorvex gives the pictures of a stream whose packets carry none.
std::int64_t frame_ticks(const AVStream& stream);

// What a decode of a stream's first packets showed: the index (in decode order) of the packet
// each picture came from, in the order they were shown; -1 for a picture the decoder handed
// over without its packet's stamp.
using DecodedPictures = std::vector<std::int64_t>;

// Builds the table of one stream from its packets, given in decode order.
class FrameTableBuilder {
  public:
    // From facts alone: nothing is unpacked.
    explicit FrameTableBuilder(AVCodecID codec, std::int64_t frame_ticks = 1);
    // For the packets of `stream` as read from the file: MPEG-4 part 2 is unpacked
    // (packed_frames.hpp) as the decoders unpack it. Errors name `path`.
    FrameTableBuilder(const AVStream& stream, const std::string& path);

    void add(const AVPacket& packet);
    void add(const PacketFacts& packet) { packets_.push_back(packet); }

    // How many of the first packets a decode must be given for what the packets cannot tell:
    // 0 where they tell everything.
    std::size_t packets_to_decode() const;

    // The table. `decoded` is what a decode of the first packets_to_decode() packets showed;
    // without it (a file that cannot be read twice), the packets alone decide: a stream
    // without timestamps then shows one picture per packet, in decode order.
    FrameTable finish(const std::optional<DecodedPictures>& decoded = std::nullopt) const;

    // For a stream without timestamps: the timestamp that finish(decoded) gives each packet's
    // picture, in decode order (AV_NOPTS_VALUE for a packet that shows none of its own).
    std::vector<std::int64_t> packet_timestamps(const DecodedPictures& decoded) const;

  private:
    using SeenPacket = PacketFacts;
    // What the decoder will hand the packet's picture (see FrameTable::stamps).
    static std::int64_t stamp_of(const SeenPacket& packet, std::int64_t time);

    bool has_timestamps() const;
    bool dts_only() const;
    std::size_t first_keyframe() const;  // packets_.size() when there is none
    // How many of the first packets only a decode can say whether they show a picture.
    std::size_t undecided_packets() const;
    // Each packet's presentation time, from packet `from` on (see finish()).
    std::vector<std::int64_t> presentation_times(std::size_t from, bool dts_only) const;

    // The table of a stream with timestamps, in steps:
    FrameTable finish_timed(const std::optional<DecodedPictures>& decoded) const;
    // Decoding starts at a keyframe: where the packets alone decide, the pictures of packets
    // before the first one are never shown. A stream that marks no keyframe at all is decoded
    // from its first packet.
    std::size_t decoding_start() const;
    // Which of the first undecided_packets() packets the decode showed a picture of.
    std::vector<bool> shown_by_decode(const DecodedPictures& decoded) const;
    // Which packets show a picture, from packet `from` on: the decode's word where it has one.
    std::vector<bool> packets_shown(std::size_t from, const std::vector<bool>& decoded_shown) const;
    // The pictures in presentation order: their timestamps and the stamps their packets give.
    void add_pictures(FrameTable& table, const std::vector<std::int64_t>& times,
                      const std::vector<bool>& shown) const;
    // Each keyframe from packet `from` on (and the packet decoding starts at), with the first
    // rank that decoding from it shows exactly.
    void add_keyframes(FrameTable& table, std::size_t from, std::size_t start,
                       const std::vector<std::int64_t>& times,
                       const std::vector<bool>& shown) const;

    // The table of a stream without timestamps, from its decode, in steps:
    FrameTable finish_by_position(const DecodedPictures& decoded) const;
    // The lowest and highest rank of the pictures each packet gave (-1 for none).
    struct PacketRanks {
        std::vector<std::int64_t> lowest;
        std::vector<std::int64_t> highest;
    };
    // The pictures in the decode's order, stamped with their packets' places in the file.
    PacketRanks add_pictures_by_position(FrameTable& table, const DecodedPictures& decoded) const;
    // The decoder stamps each picture with its packet's place in the file (VideoDecoder),
    // which tells the packets apart where each has a place of its own, rising in decode order.
    bool places_distinct() const;
    void add_keyframes_by_position(FrameTable& table, const PacketRanks& ranks) const;

    std::int64_t rank_time(std::int64_t rank) const;  // the timestamp of picture `rank`

    AVCodecID codec_;
    std::int64_t frame_ticks_;
    std::optional<FrameUnpacker> unpacker_;
    std::vector<SeenPacket> packets_;
};

}  // namespace lorvex
