// The frame table of a file's first video stream, from one pass over its packets.
#pragma once

#include <string>

#include "lorvex/core/frame_table.hpp"
#include "lorvex/core/video_input.hpp"

namespace lorvex {

// Reads every packet once (no decoding). Throws AvError when the file cannot be opened or
// read, std::runtime_error when it has no video stream.
FrameTable scan_frame_table(const std::string& path);
FrameTable scan_frame_table(const VideoSource& source);

}  // namespace lorvex
