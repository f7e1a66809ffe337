// How the workers and the probe open the decoder of a video stream: the same decoder with the
// same settings, so that both see the same pictures come out.
#pragma once

#include <string>

#include "lorvex/media/ffmpeg.hpp"

namespace lorvex {

// The decoder of `stream`, opened with `parameters` (the stream's own, or those of its
// unpacked packets: packed_frames.hpp) and `threads` decoding threads (0: FFmpeg's choice).
// Errors name `path`.
UniqueCodecContext open_video_decoder(const AVStream& stream, const AVCodecParameters& parameters,
                                      int threads, const std::string& path);

}  // namespace lorvex
