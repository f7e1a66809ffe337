// The packets of an MP4/MOV stream as the demuxer would give them, told from the file's index
// (libavformat's, after its edit-list rules, and the sample tables it leaves out) and, for
// H.264, from the first bytes of each sample: the packets themselves are not read.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "lorvex/media/frame_table_builder.hpp"
#include "lorvex/media/mapped_file.hpp"
#include "lorvex/media/mp4_sample_tables.hpp"

namespace lorvex {

// The facts of every packet of stream `stream` of `format` (opened from `file`), in decode
// order. Throws IndexDeclined, naming what it does not handle, for anything but an MP4/MOV
// file whose index tells the packets exactly: fragmented files, several edits or a rate other
// than 1, several sample descriptions, empty samples or samples past the end of the file,
// codecs whose packets libavformat parses (VP8/VP9, AV1, VC-1, MPEG-1) or whose shown
// pictures only the packets tell, decode times that go back.
std::vector<PacketFacts> indexed_packets(const AVFormatContext& format, int stream,
                                         const MappedFile& file);

struct IndexedTable {
    std::optional<FrameTable> table;  // nothing when the index was declined
    std::string declined;             // why
};

// The frame table of the first video stream of `format`, opened from `path`, made from the
// index; nothing (and the reason) where the packet pass must make it.
IndexedTable index_frame_table(const AVFormatContext& format, const std::string& path);

}  // namespace lorvex
