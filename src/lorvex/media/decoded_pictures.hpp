// Which of a stream's first packets the decoder shows a picture for, and in which order: what
// the frame table takes from a decode where the packets cannot tell
// (frame_table_builder.hpp).
#pragma once

#include <cstddef>

#include "lorvex/media/frame_table_builder.hpp"
#include "lorvex/media/video_input.hpp"

namespace lorvex {

// Opens `source` as the probe does (its streams probed, as the ffmpeg tools open a file),
// decodes the first `packets` packets of its first video stream as a worker decodes them
// (unpacked, every decoding option the same but the loop filter, whose work changes no
// decision of what is shown), and drains the decoder. Throws AvError when the file cannot be
// opened or read.
DecodedPictures decode_first_packets(const VideoSource& source, std::size_t packets);

// The table of the packets `builder` was given, with what a decode of the packets it cannot
// tell about showed (the packets read again from `source`).
FrameTable finish_with_decode(const FrameTableBuilder& builder, const VideoSource& source);

}  // namespace lorvex
