// The frame table of a video stream: every picture that a full decode of the stream shows, in
// presentation order, and where decoding must start to show each one exactly. Frame i of a
// video is picture i of its table. The loaders hand it to the workers (frame_table_file.hpp);
// it is made from the packets, without decoding (media/frame_table_builder.hpp).
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

namespace lorvex {

// A timestamp that a packet does not have (FFmpeg's AV_NOPTS_VALUE).
inline constexpr std::int64_t kNoTimestamp = std::numeric_limits<std::int64_t>::min();

// A packet from which decoding can start.
struct TableKeyframe {
    // its packet's pts, or dts where it has none (its place in the file: FrameTable::by_position)
    std::int64_t stamp = kNoTimestamp;
    std::int64_t dts = kNoTimestamp;
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
    // The stream's packets carry no timestamps at all (raw elementary streams): a decode of
    // the whole stream made the table. The decoder stamps each picture with the place in the
    // file of the packet it came from, so stamps, and keyframes' stamps, are byte positions
    // (a keyframe's dts is none), and a seek goes to a keyframe's position. Picture i's
    // timestamp is i frame durations.
    bool by_position = false;
    std::vector<std::int64_t> timestamps;  // one per picture, ascending
    // One per picture: the pts of its packet, or the packet's dts where it has no pts (its
    // place in the file: by_position). The decoder hands each picture the stamp of its packet,
    // which is how a worker tells which picture came out.
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

}  // namespace lorvex
