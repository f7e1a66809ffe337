#include "lorvex/container/media_file.hpp"

namespace lorvex::container {

MediaFile::MediaFile(const std::string& url, const std::string& path)
    : context_(open_video_input(url, path)), path_(path) {}

std::vector<StreamInfo> MediaFile::streams() const {
    std::vector<StreamInfo> infos;
    infos.reserve(context_->nb_streams);
    for (unsigned i = 0; i < context_->nb_streams; ++i) {
        const AVStream& stream = *context_->streams[i];
        const AVCodecParameters& parameters = *stream.codecpar;
        infos.push_back(StreamInfo{
            .index = static_cast<int>(i),
            .type = parameters.codec_type,
            .codec_id = parameters.codec_id,
            .recorded_frames = stream.nb_frames,
            .width = parameters.width,
            .height = parameters.height,
            .average_rate = stream.avg_frame_rate,
            .time_base = stream.time_base,
            .duration = stream.duration,
            .start_time = stream.start_time,
        });
    }
    return infos;
}

}  // namespace lorvex::container
