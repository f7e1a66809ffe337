#include "lorvex/core/frame_scan.hpp"

#include <stdexcept>

#include "lorvex/core/video_input.hpp"

namespace lorvex {

FrameTable scan_frame_table(const std::string& path) {
    return scan_frame_table(VideoSource{path, {}});
}

FrameTable scan_frame_table(const VideoSource& source) {
    const std::string& path = source.path;
    UniqueFormatContext format = open_video_input(source);
    const int stream = first_video_stream(*format);
    if (stream < 0) throw std::runtime_error(path + " has no video stream");
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        if (static_cast<int>(i) != stream) format->streams[i]->discard = AVDISCARD_ALL;
    }
    FrameTableBuilder builder(format->streams[stream]->codecpar->codec_id);
    UniquePacket packet = make_packet();
    while (read_next_packet(*format, *packet, path)) {
        if (packet->stream_index == stream) builder.add(*packet);
    }
    return builder.finish();
}

}  // namespace lorvex
