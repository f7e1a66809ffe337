// How a load's frames are shared out among its decoders. A share is a run of the requested
// frames (distinct, in increasing order) that one decoder delivers in order; shares are cut
// only where decoding starts afresh at a keyframe, so no picture is decoded by two decoders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "lorvex/protocol/frame_table.hpp"

namespace lorvex::engine {

struct Share {
    std::size_t first = 0;  // frames[first, end) of the request
    std::size_t end = 0;
    // What its decoder spends, in pictures: from each keyframe it starts at to the last frame
    // decoded from it, those it decodes on through rather than seek past, and each seek after
    // the first as kSeekCost.
    std::int64_t cost = 0;

    friend bool operator==(const Share&, const Share&) = default;
};

// Pictures a decoder would rather decode on through than seek past: a seek restarts the codec
// and its frame threads.
inline constexpr std::int64_t kSeekCost = 4;

// At most `decoders` shares whose largest cost is as small as keyframes allow: the first 300
// frames of a video with a keyframe every 60 go to two decoders as 180 and 120; a clip inside
// one group of pictures goes to one. Frames outside the table are refused upstream.
std::vector<Share> balanced_shares(const FrameTable& table, std::span<const std::int64_t> frames,
                                   int decoders);

// Shares for a stream, which hands its rows out in order while the decoders take the shares in
// turn: as small as keyframes allow while holding at least `least_frames` frames, so that the
// rows come in order and no decoder runs far ahead of the others.
std::vector<Share> stream_shares(const FrameTable& table, std::span<const std::int64_t> frames,
                                 std::size_t least_frames);

}  // namespace lorvex::engine
