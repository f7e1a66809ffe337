// Whether a packet of a video stream makes the decoder show a picture, told from the packet
// and its codec's frame header alone: nothing is decoded.
#pragma once

#include "lorvex/media/ffmpeg.hpp"

namespace lorvex {

// False for packets the decoder consumes without showing anything: empty packets (dropped
// frames), packets the demuxer marks for discarding (edit-list pre-roll, samples past the
// edit's end), and VP8/VP9 frames whose header says they are not shown (alt-ref frames).
bool packet_shows_picture(AVCodecID codec, const AVPacket& packet);

}  // namespace lorvex
