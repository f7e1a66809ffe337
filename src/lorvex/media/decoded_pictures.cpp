#include "lorvex/media/decoded_pictures.hpp"

#include <stdexcept>

#include "lorvex/media/packed_frames.hpp"
#include "lorvex/media/video_codec.hpp"

namespace lorvex {
namespace {

// Pictures the decoder refuses are skipped, as the ffmpeg command line skips them; a decoder
// that does nothing else is given up on.
constexpr int kMostFailures = 10000;

}  // namespace

DecodedPictures decode_first_packets(const VideoSource& source, std::size_t packets) {
    DecodedPictures shown;
    if (packets == 0) return shown;
    const UniqueFormatContext format = open_video_input(source, StreamInfo::probed);
    const int stream = first_video_stream(*format);
    if (stream < 0) throw std::runtime_error(source.path + " has no video stream");
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        if (static_cast<int>(i) != stream) format->streams[i]->discard = AVDISCARD_ALL;
    }
    const AVStream& video = *format->streams[stream];
    FrameUnpacker unpacker(video.codecpar->codec_id, video.codecpar, source.path);
    const UniqueCodecContext codec = open_video_decoder(
        video, unpacker.active() ? *unpacker.parameters() : *video.codecpar, 0, source.path);
    codec->skip_loop_filter = AVDISCARD_ALL;

    // Each packet is stamped with its place among the stream's packets, which the decoder
    // hands on to its picture.
    const auto count = static_cast<std::int64_t>(packets);
    const UniqueFrame frame = make_frame();
    int failures = 0;
    const auto take_pictures = [&] {
        bool took = false;
        for (;;) {
            const int received = avcodec_receive_frame(codec.get(), frame.get());
            if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) return took;
            if (received < 0) {
                if (++failures > kMostFailures) throw AvError(received, "decode", source.path);
                continue;
            }
            took = true;
            shown.push_back(frame->pts >= 0 && frame->pts < count ? frame->pts : -1);
            av_frame_unref(frame.get());
        }
    };
    const UniquePacket packet = make_packet();
    std::int64_t next = 0;
    while (next < count && read_next_packet(*format, *packet, source.path)) {
        if (packet->stream_index != stream) continue;
        const std::int64_t index = next++;
        if (packet->size <= 0) continue;  // it would read as the end of the stream
        unpacker.unpack(*packet);
        packet->pts = index;
        // A packet the decoder refuses shows nothing; one it cannot take yet is sent again
        // once the pictures it holds are taken.
        while (avcodec_send_packet(codec.get(), packet.get()) == AVERROR(EAGAIN)) {
            if (!take_pictures()) break;
        }
        take_pictures();
    }
    avcodec_send_packet(codec.get(), nullptr);
    take_pictures();
    return shown;
}

FrameTable finish_with_decode(const FrameTableBuilder& builder, const VideoSource& source) {
    const std::size_t packets = builder.packets_to_decode();
    if (packets == 0) return builder.finish();
    return builder.finish(decode_first_packets(source, packets));
}

}  // namespace lorvex
