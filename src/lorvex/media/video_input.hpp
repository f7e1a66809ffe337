// How every part of lorvex opens a video file and which of its streams it means. The probe
// describes the stream that the worker programs decode, so both open the file here, with the
// same options, and take the same stream with the same timestamp rule.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "lorvex/media/byte_input.hpp"
#include "lorvex/media/ffmpeg.hpp"
#include "lorvex/protocol/video_path.hpp"

namespace lorvex {

// The file itself could not be reached (missing, no permission, a directory, ...), as opposed
// to its contents being unreadable. errno_value() is the system's errno for it.
class FileAccessError : public AvError {
  public:
    using AvError::AvError;
    int errno_value() const noexcept { return AVUNERROR(errnum()); }
};

// How much of a file is read before its streams are trusted.
enum class StreamInfo {
    // Packets are read and decoded until every stream's parameters are known, as the ffmpeg
    // tools do: what the probe reports.
    probed,
    // For demuxers whose header alone lists every stream and stores every packet's pts, dts
    // and flags (MP4/MOV), only the header is read: the packets come out the same, and a
    // decoder needs nothing more. Any other file is probed.
    header_when_complete,
};

// Opens `url` and reads its streams' parameters. Errors name `path`, the name the caller knows
// the file by: FileAccessError when the file cannot be reached, AvError otherwise.
UniqueFormatContext open_video_input(const std::string& url, const std::string& path,
                                     StreamInfo info = StreamInfo::probed);

// Whether `format` stores every packet's timestamps and flags in a complete header (MP4/MOV).
bool header_is_complete(const AVFormatContext& format);

// What a worker decodes: the file at `path`, or, where `bytes` is given, what its readers give
// (errors still name `path`).
struct VideoSource {
    std::string path;
    ByteReaderFactory bytes;
};

// Opens the source as open_video_input(path, path, info) opens a file.
UniqueFormatContext open_video_input(const VideoSource& source,
                                     StreamInfo info = StreamInfo::probed);

// Opens what `reader` reads as the file `path` is opened: its name guides the choice of
// demuxer as a file's own name does.
UniqueFormatContext open_video_input(std::unique_ptr<ByteReader> reader, const std::string& path,
                                     StreamInfo info);

// The index of the first video stream, the one lorvex probes and decodes; -1 when none.
int first_video_stream(const AVFormatContext& format);

// Reads the next packet of the file into `packet`: false at the end of the file, or where the
// demuxer can read no further (a file cut inside a packet, bytes it cannot make sense of), as
// the ffmpeg tools end a file there. A failure to read the file's bytes throws AvError
// ("Could not demux <path>: <reason>"): a disk that fails part way must not pass for a short
// video.
bool read_next_packet(AVFormatContext& format, AVPacket& packet, const std::string& path);

// The timestamp a packet is shown at. Containers that store only decode timestamps (AVI, ASF,
// some MPEG program streams) leave pts unset; their dts is the best presentation time known.
inline std::int64_t presentation_time(const AVPacket& packet) noexcept {
    return packet.pts != AV_NOPTS_VALUE ? packet.pts : packet.dts;
}

}  // namespace lorvex
