// Owning handles for FFmpeg objects and the text of FFmpeg error codes.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/error.h>
#include <libswscale/swscale.h>
}

#include <memory>
#include <stdexcept>
#include <string>

namespace lorvex {

class ByteInput;

struct FormatContextCloser {
    // What a context opened over a ByteReader reads through (see byte_input.hpp); FFmpeg does
    // not close it, so it goes once the context is closed.
    std::shared_ptr<ByteInput> custom_input;

    void operator()(AVFormatContext* context) noexcept {
        avformat_close_input(&context);
        custom_input.reset();
    }
};
struct CodecContextFreer {
    void operator()(AVCodecContext* context) const noexcept { avcodec_free_context(&context); }
};
struct PacketFreer {
    void operator()(AVPacket* packet) const noexcept { av_packet_free(&packet); }
};
struct FrameFreer {
    void operator()(AVFrame* frame) const noexcept { av_frame_free(&frame); }
};
struct BsfContextFreer {
    void operator()(AVBSFContext* context) const noexcept { av_bsf_free(&context); }
};
struct SwsContextFreer {
    void operator()(SwsContext* context) const noexcept { sws_freeContext(context); }
};

using UniqueFormatContext = std::unique_ptr<AVFormatContext, FormatContextCloser>;
using UniqueCodecContext = std::unique_ptr<AVCodecContext, CodecContextFreer>;
using UniquePacket = std::unique_ptr<AVPacket, PacketFreer>;
using UniqueFrame = std::unique_ptr<AVFrame, FrameFreer>;
using UniqueBsfContext = std::unique_ptr<AVBSFContext, BsfContextFreer>;
using UniqueSwsContext = std::unique_ptr<SwsContext, SwsContextFreer>;

// The text FFmpeg gives for an error code (what av_err2str would print).
std::string av_error_text(int errnum);

// An FFmpeg call failed. what() reads "Could not <action> <path>: <FFmpeg's reason>".
class AvError : public std::runtime_error {
  public:
    AvError(int errnum, const std::string& action, const std::string& path);
    int errnum() const noexcept { return errnum_; }
    const std::string& path() const noexcept { return path_; }
    const std::string& reason() const noexcept { return reason_; }

  private:
    int errnum_;
    std::string path_;
    std::string reason_;
};

// Throws AvError when `result` is a negative FFmpeg error code; returns it otherwise.
int check_av(int result, const std::string& action, const std::string& path);

// Keeps FFmpeg's own log lines off stderr: errors reach callers as exceptions instead.
void silence_ffmpeg_log() noexcept;

UniquePacket make_packet();
UniqueFrame make_frame();

}  // namespace lorvex
