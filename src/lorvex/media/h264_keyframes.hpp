// Which samples of an H.264 track stored with length-prefixed NAL units (MP4/MOV) the demuxer
// marks as keyframes. libavformat runs its H.264 parser over every such packet and takes the
// parser's word over the sync sample table: an IDR picture, a recovery point, or an I-picture
// of a stream with a single reference frame. The same parser decides here, shown only what it
// reads of a packet: the units before the first slice and the start of that slice.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "lorvex/media/ffmpeg.hpp"

namespace lorvex {

class H264Keyframes {
  public:
    // Throws IndexDeclined when the stream is not stored as length-prefixed units (avcC).
    explicit H264Keyframes(const AVCodecParameters& parameters);
    ~H264Keyframes();
    H264Keyframes(const H264Keyframes&) = delete;
    H264Keyframes& operator=(const H264Keyframes&) = delete;

    // Whether the packet holding `sample` comes out of the demuxer as a keyframe. Samples
    // must be given in decode order, each once (the parser keeps parameter sets between them).
    bool is_keyframe(std::span<const std::uint8_t> sample);

  private:
    struct ParserCloser {
        void operator()(AVCodecParserContext* parser) const noexcept { av_parser_close(parser); }
    };
    UniqueCodecContext codec_;
    std::unique_ptr<AVCodecParserContext, ParserCloser> parser_;
    int length_size_ = 4;
    std::vector<std::uint8_t> shown_;  // the part of the sample the parser is shown, padded
};

}  // namespace lorvex
