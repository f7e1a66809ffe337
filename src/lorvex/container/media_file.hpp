// One opened media file: libavformat's view of its streams and its packets in file order.
// Python-free; the extension wraps it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lorvex/media/video_input.hpp"

namespace lorvex::container {

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
    // Opens `url` and reads its streams' parameters (see open_video_input).
    MediaFile(const std::string& url, const std::string& path);

    const std::string& path() const noexcept { return path_; }
    const AVFormatContext* context() const noexcept { return context_.get(); }
    const char* format_name() const noexcept { return context_->iformat->name; }
    std::vector<StreamInfo> streams() const;

    // The next packet in file order, in `packet` (its previous content is dropped). False at
    // the end of the file; throws AvError ("Could not demux <path>: ...") on any other error.
    bool read(AVPacket* packet) { return read_next_packet(*context_, *packet, path_); }

  private:
    UniqueFormatContext context_;
    std::string path_;
};

}  // namespace lorvex::container
