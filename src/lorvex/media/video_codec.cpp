#include "lorvex/media/video_codec.hpp"

#include <new>

namespace lorvex {

UniqueCodecContext open_video_decoder(const AVStream& stream, const AVCodecParameters& parameters,
                                      int threads, const std::string& path) {
    const AVCodec* codec = avcodec_find_decoder(parameters.codec_id);
    if (!codec) throw AvError(AVERROR_DECODER_NOT_FOUND, "find a video decoder for", path);
    UniqueCodecContext context(avcodec_alloc_context3(codec));
    if (!context) throw std::bad_alloc();
    check_av(avcodec_parameters_to_context(context.get(), &parameters), "configure decoder for",
             path);
    context->pkt_timebase = stream.time_base;
    context->thread_count = threads;
    context->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    check_av(avcodec_open2(context.get(), codec, nullptr), "open the video decoder for", path);
    return context;
}

}  // namespace lorvex
