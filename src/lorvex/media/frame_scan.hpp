// The frame table of a file's first video stream: from an MP4/MOV file's index where it tells
// the packets exactly (mp4_index.hpp), else from one pass over the packets.
#pragma once

#include <string>

#include "lorvex/media/frame_table_builder.hpp"
#include "lorvex/media/video_input.hpp"

namespace lorvex {

enum class TableSource {
    index_or_packets,  // the index where it serves, else the packets
    packets,           // always the packet pass
};

// Reads the index, or every packet once (no decoding). Throws AvError when the file cannot be
// opened or read, std::runtime_error when it has no video stream.
FrameTable scan_frame_table(const std::string& path,
                            TableSource from = TableSource::index_or_packets);
FrameTable scan_frame_table(const VideoSource& source,
                            TableSource from = TableSource::index_or_packets);

// The packet pass over `source`, opened as `format`: the table of its stream `stream`. Where
// only a decode can tell which pictures some packets show, `source` is opened again and they
// are decoded (decoded_pictures.hpp).
FrameTable pass_frame_table(AVFormatContext& format, int stream, const VideoSource& source);

}  // namespace lorvex
