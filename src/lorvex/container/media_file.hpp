// One opened media file: libavformat's view of its streams and its packets in file order.
// Python-free; the extension wraps it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lorvex/core/ffmpeg.hpp"

namespace lorvex::container {

// The file itself could not be reached (missing, no permission, a directory, ...), as opposed
// to its contents being unreadable. errno_value() is the system's errno for it.
class FileAccessError : public AvError {
  public:
    using AvError::AvError;
    int errno_value() const noexcept { return AVUNERROR(errnum()); }
};

// What a stream looks like once the file is open; it does not change while demuxing.
struct StreamInfo {
    int index = 0;
    AVMediaType type = AVMEDIA_TYPE_UNKNOWN;
    AVCodecID codec_id = AV_CODEC_ID_NONE;
    std::int64_t recorded_frames = 0;  // 0 when the container does not record a count
    int width = 0;
    int height = 0;
    AVRational average_rate{0, 0};
    AVRational time_base{0, 1};
    std::int64_t duration = AV_NOPTS_VALUE;
    std::int64_t start_time = AV_NOPTS_VALUE;
};

class MediaFile {
  public:
    // Opens `url` and reads its streams' parameters. Errors name `path`, the name the caller
    // knows the file by. Throws FileAccessError or AvError.
    MediaFile(const std::string& url, const std::string& path);

    const std::string& path() const noexcept { return path_; }
    const AVFormatContext* context() const noexcept { return context_.get(); }
    const char* format_name() const noexcept { return context_->iformat->name; }
    std::vector<StreamInfo> streams() const;

    // The next packet in file order, in `packet` (its previous content is dropped). False at
    // the end of the file; throws AvError ("Could not demux <path>: ...") on any other error.
    bool read(AVPacket* packet);

    // Reads every remaining packet; returns how many each stream had.
    std::vector<std::int64_t> count_packets();

  private:
    UniqueFormatContext context_;
    std::string path_;
};

// The timestamp a packet is shown at. Containers that store only decode timestamps (AVI, ASF,
// some MPEG program streams) leave pts unset; their dts is the best presentation time known.
inline std::int64_t presentation_time(const AVPacket& packet) noexcept {
    return packet.pts != AV_NOPTS_VALUE ? packet.pts : packet.dts;
}

}  // namespace lorvex::container
