// Rotation as the rows have it: a picture turned clockwise by quarter turns (FrameFormat's
// quarter_turns, which the caller sets from the video's rotation), as a player shows it. The
// geometry alone: where each line of the turned picture lies in the picture before turning.
#pragma once

#include <cstddef>

#include "lorvex/protocol/frame_format.hpp"

namespace lorvex {

// The size of the picture before turning, for a turned picture of `width` x `height`:
// sideways turns swap its sides.
int unturned_width(int width, int height, const FrameFormat& format);
int unturned_height(int width, int height, const FrameFormat& format);

// Where line `y` of the turned picture starts in an unturned plane of `columns` x `lines`
// samples, and how far apart its samples lie there.
struct SourceLine {
    std::ptrdiff_t start;
    std::ptrdiff_t step;
};
SourceLine source_line(int turns, std::ptrdiff_t y, std::ptrdiff_t columns, std::ptrdiff_t lines);

}  // namespace lorvex
