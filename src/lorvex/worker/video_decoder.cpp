#include "lorvex/worker/video_decoder.hpp"

#include <algorithm>
#include <stdexcept>

#include "lorvex/media/video_codec.hpp"
#include "lorvex/media/video_input.hpp"
#include "lorvex/worker/prepared_input.hpp"

namespace lorvex {

VideoDecoder::VideoDecoder(std::string path, int threads)
    : VideoDecoder(VideoSource{std::move(path), {}}, threads) {}

VideoDecoder::VideoDecoder(VideoSource source, int threads)
    : source_(std::move(source)), threads_(std::max(1, threads)) {
    open_input();
}

void VideoDecoder::open_input() {
    std::optional<UniqueFormatContext> prepared;
    if (!source_.bytes) prepared = take_offered_input(source_.path);
    format_ = prepared ? std::move(*prepared)
                       : open_video_input(source_, StreamInfo::header_when_complete);
    stream_index_ = first_video_stream(*format_);
    if (stream_index_ < 0) throw std::runtime_error(path() + " has no video stream");
    for (unsigned i = 0; i < format_->nb_streams; ++i) {
        if (static_cast<int>(i) != stream_index_) format_->streams[i]->discard = AVDISCARD_ALL;
    }
    const AVStream& stream = *format_->streams[stream_index_];
    unpacker_.emplace(stream.codecpar->codec_id, stream.codecpar, path());
    open_codec();
}

void VideoDecoder::open_codec() {
    const AVStream& stream = *format_->streams[stream_index_];
    codec_ = open_video_decoder(stream,
                                unpacker_->active() ? *unpacker_->parameters() : *stream.codecpar,
                                threads_, path());
}

void VideoDecoder::set_threads(int threads) {
    threads_ = std::max(1, threads);
    reset_position();
    codec_.reset();
    open_codec();
}

void VideoDecoder::reset_position() {
    avcodec_flush_buffers(codec_.get());
    unpacker_->reset();
    av_packet_unref(packet_.get());
    packet_pending_ = false;
    input_done_ = false;
    output_done_ = false;
    frame_stamp_.reset();
    drain_after_.reset();
    drain_next_ = false;
    last_decode_error_.clear();
}

void VideoDecoder::rewind() {
    reset_position();
    // A new opening rather than a seek to byte 0: some demuxers cannot seek there, and a fresh
    // one reads the file exactly as the probe did.
    codec_.reset();
    format_.reset();
    open_input();
}

std::optional<Landing> VideoDecoder::seek(std::int64_t timestamp) {
    reset_position();
    const int sought =
        by_position_ ? av_seek_frame(format_.get(), -1, timestamp, AVSEEK_FLAG_BYTE)
                     : av_seek_frame(format_.get(), stream_index_, timestamp, AVSEEK_FLAG_BACKWARD);
    if (sought < 0) return std::nullopt;
    while (read_packet()) {
        if (packet_->flags & AV_PKT_FLAG_KEY) {
            const Landing landing{by_position_ ? packet_->pos : presentation_time(*packet_),
                                  packet_->dts};
            prepare_packet();
            packet_pending_ = true;
            return landing;
        }
        // Undecodable without the pictures before the seek; not unpacked, so that nothing of
        // it is held back for the packets after the keyframe.
        av_packet_unref(packet_.get());
    }
    return std::nullopt;
}

void VideoDecoder::prepare_packet() {
    unpacker_->unpack(*packet_);
    // The decoder hands each picture the pts of its own packet, which tells the pictures
    // apart; where the packet has none, its dts serves, and in a stream without timestamps
    // its place in the file.
    if (by_position_) {
        packet_->pts = packet_->pos;
    } else if (packet_->pts == AV_NOPTS_VALUE) {
        packet_->pts = packet_->dts;
    }
}

bool VideoDecoder::read_packet() {
    for (;;) {
        if (!read_next_packet(*format_, *packet_, path())) return false;
        // An empty packet would read as a drain request; containers use them for dropped frames.
        if (packet_->stream_index != stream_index_ || packet_->size == 0) continue;
        return true;
    }
}

void VideoDecoder::feed() {
    if (!packet_pending_) {
        if (drain_next_ || !read_packet()) {
            // The return value only says whether a drain was already requested.
            avcodec_send_packet(codec_.get(), nullptr);
            input_done_ = true;
            return;
        }
        prepare_packet();
    }
    packet_pending_ = false;
    // Read by the decoder (and copied to its frame threads) with each packet sent.
    // Only where the bitstream says which pictures are referred to.
    const AVCodecID codec = codec_->codec_id;
    const bool skippable = skip_before_ &&
                           (codec == AV_CODEC_ID_H264 || codec == AV_CODEC_ID_HEVC) &&
                           packet_->pts != AV_NOPTS_VALUE && packet_->pts < *skip_before_;
    codec_->skip_frame = skippable ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
    const int sent = avcodec_send_packet(codec_.get(), packet_.get());
    if (sent == AVERROR(EAGAIN)) {
        packet_pending_ = true;  // not consumed: send again once a picture has been taken
        return;
    }
    if (sent < 0) last_decode_error_ = av_error_text(sent);
    if (drain_after_ && packet_->pts == *drain_after_) drain_next_ = true;
    av_packet_unref(packet_.get());
}

AVFrame* VideoDecoder::next_frame() {
    int failures = 0;
    while (!output_done_) {
        av_frame_unref(frame_.get());
        const int received = avcodec_receive_frame(codec_.get(), frame_.get());
        if (received >= 0) {
            frame_stamp_.reset();
            if (frame_->pts != AV_NOPTS_VALUE) frame_stamp_ = frame_->pts;
            return frame_.get();
        }
        if (received == AVERROR_EOF) {
            output_done_ = true;
        } else if (received == AVERROR(EAGAIN)) {
            if (input_done_) {
                output_done_ = true;  // drained but the decoder disagrees: nothing more comes
            } else {
                feed();
            }
        } else {
            last_decode_error_ = av_error_text(received);
            if (++failures > 10000) throw AvError(received, "decode", path());
        }
    }
    frame_stamp_.reset();
    return nullptr;
}

}  // namespace lorvex
