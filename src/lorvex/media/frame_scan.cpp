#include "lorvex/media/frame_scan.hpp"

#include <stdexcept>

#include "lorvex/media/decoded_pictures.hpp"
#include "lorvex/media/mp4_index.hpp"

namespace lorvex {

FrameTable scan_frame_table(const std::string& path, TableSource from) {
    return scan_frame_table(VideoSource{path, {}}, from);
}

FrameTable scan_frame_table(const VideoSource& source, TableSource from) {
    const std::string& path = source.path;
    // The index is read from the file by its path, after the header alone; a source given as
    // bytes is read packet by packet. The pass reads the file as the probe does.
    const bool try_index = from == TableSource::index_or_packets && !source.bytes;
    UniqueFormatContext format =
        open_video_input(source, try_index ? StreamInfo::header_when_complete : StreamInfo::probed);
    if (try_index && header_is_complete(*format)) {
        if (IndexedTable indexed = index_frame_table(*format, path); indexed.table) {
            return std::move(*indexed.table);
        }
        format = open_video_input(source, StreamInfo::probed);
    }
    const int stream = first_video_stream(*format);
    if (stream < 0) throw std::runtime_error(path + " has no video stream");
    return pass_frame_table(*format, stream, source);
}

FrameTable pass_frame_table(AVFormatContext& format, int stream, const VideoSource& source) {
    const std::string& path = source.path;
    for (unsigned i = 0; i < format.nb_streams; ++i) {
        if (static_cast<int>(i) != stream) format.streams[i]->discard = AVDISCARD_ALL;
    }
    FrameTableBuilder builder(*format.streams[stream], path);
    UniquePacket packet = make_packet();
    while (read_next_packet(format, *packet, path)) {
        if (packet->stream_index == stream) builder.add(*packet);
    }
    return finish_with_decode(builder, source);
}

}  // namespace lorvex
