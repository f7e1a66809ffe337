// MPEG-4 part 2 streams that pack a B-frame behind the reference frame before it in one packet
// and send an empty placeholder (an N-VOP) where the B-frame belongs: DivX's "packed
// B-frames", common in AVI. Decoded as they are, the B-picture comes out of the placeholder's
// packet, stamped with its timestamps rather than its own. Unpacked (FFmpeg's
// mpeg4_unpack_bframes filter), every packet holds one picture and the placeholder carries the
// B-frame. The frame table and every decoder see the unpacked packets, so they tell the
// pictures apart alike.
#pragma once

#include <string>

#include "lorvex/media/ffmpeg.hpp"

namespace lorvex {

class FrameUnpacker {
  public:
    // For a stream of `codec` (with its `parameters`, where known); packets of any codec but
    // MPEG-4 part 2 pass unchanged. Errors name `path`.
    FrameUnpacker(AVCodecID codec, const AVCodecParameters* parameters, std::string path);

    bool active() const noexcept { return static_cast<bool>(filter_); }

    // What a decoder of the unpacked packets is opened with: the stream's own parameters, with
    // the mark that says "packed" taken out of the user data it carries.
    const AVCodecParameters* parameters() const noexcept {
        return filter_ ? filter_->par_out : nullptr;
    }

    // Replaces `packet` by its unpacked form: one packet in, one packet out.
    void unpack(AVPacket& packet);

    // Forgets a B-frame held back from the packets before a seek.
    void reset() noexcept;

  private:
    UniqueBsfContext filter_;
    std::string path_;
};

}  // namespace lorvex
