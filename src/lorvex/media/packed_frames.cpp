#include "lorvex/media/packed_frames.hpp"

#include <new>

namespace lorvex {

FrameUnpacker::FrameUnpacker(AVCodecID codec, const AVCodecParameters* parameters, std::string path)
    : path_(std::move(path)) {
    if (codec != AV_CODEC_ID_MPEG4) return;
    const AVBitStreamFilter* unpacking = av_bsf_get_by_name("mpeg4_unpack_bframes");
    if (unpacking == nullptr) {
        throw AvError(AVERROR_BSF_NOT_FOUND, "unpack the B-frames of", path_);
    }
    AVBSFContext* raw = nullptr;
    check_av(av_bsf_alloc(unpacking, &raw), "unpack the B-frames of", path_);
    filter_.reset(raw);
    if (parameters != nullptr) {
        check_av(avcodec_parameters_copy(filter_->par_in, parameters), "unpack the B-frames of",
                 path_);
    } else {
        filter_->par_in->codec_type = AVMEDIA_TYPE_VIDEO;
        filter_->par_in->codec_id = codec;
    }
    check_av(av_bsf_init(filter_.get()), "unpack the B-frames of", path_);
}

void FrameUnpacker::unpack(AVPacket& packet) {
    // An empty packet (a dropped frame) would end the filter's stream.
    if (!filter_ || packet.size <= 0) return;
    // The filter takes the packet's reference and gives exactly one packet back for it.
    check_av(av_bsf_send_packet(filter_.get(), &packet), "unpack the B-frames of", path_);
    check_av(av_bsf_receive_packet(filter_.get(), &packet), "unpack the B-frames of", path_);
}

void FrameUnpacker::reset() noexcept {
    if (filter_) av_bsf_flush(filter_.get());
}

}  // namespace lorvex
