// Whether a packet's picture is a B-picture (shown as soon as it is decoded) or a reference
// picture (shown once the next reference picture is decoded), read from the picture header of
// the codecs whose streams may carry pictures without pts: MPEG-1/2 video (program streams
// leave a pts out wherever two pictures start in one PES packet) and MPEG-4 part 2 (AVI).
#pragma once

#include "lorvex/media/ffmpeg.hpp"

namespace lorvex {

enum class PictureKind { unknown, reference, bidirectional };

// `unknown` for other codecs, or when the packet holds no picture header the parser knows.
PictureKind picture_kind(AVCodecID codec, const AVPacket& packet);

}  // namespace lorvex
