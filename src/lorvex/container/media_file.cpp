#include "lorvex/container/media_file.hpp"

#include <cerrno>
#include <memory>

namespace lorvex::container {
namespace {

struct DictionaryFreer {
    void operator()(AVDictionary* dictionary) const noexcept { av_dict_free(&dictionary); }
};
using UniqueDictionary = std::unique_ptr<AVDictionary, DictionaryFreer>;

// Errors from reaching the file rather than from reading what is in it.
bool is_file_access_error(int errnum) {
    switch (AVUNERROR(errnum)) {
        case ENOENT:
        case EACCES:
        case EPERM:
        case EISDIR:
        case ENOTDIR:
        case ENAMETOOLONG:
        case ELOOP:
        case EMFILE:
        case ENFILE:
        case ENXIO:
        case ENODEV:
            return true;
        default:
            return false;
    }
}

UniqueFormatContext open_input(const std::string& url, const std::string& path) {
    // Like the ffmpeg tools: find programs that a transport stream's first PAT does not list,
    // so the streams seen here are the ones ffprobe reports.
    AVDictionary* raw_options = nullptr;
    const int set = av_dict_set(&raw_options, "scan_all_pmts", "1", 0);
    UniqueDictionary options(raw_options);
    check_av(set, "open", path);

    AVFormatContext* raw_context = nullptr;
    raw_options = options.release();
    const int result = avformat_open_input(&raw_context, url.c_str(), nullptr, &raw_options);
    options.reset(raw_options);  // what the demuxer left unused
    if (result < 0) {
        // avformat_open_input has already freed the context.
        if (is_file_access_error(result)) throw FileAccessError(result, "open", path);
        throw AvError(result, "open", path);
    }
    return UniqueFormatContext(raw_context);
}

}  // namespace

MediaFile::MediaFile(const std::string& url, const std::string& path)
    : context_(open_input(url, path)), path_(path) {
    check_av(avformat_find_stream_info(context_.get(), nullptr), "open", path_);
}

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

bool MediaFile::read(AVPacket* packet) {
    av_packet_unref(packet);
    const int result = av_read_frame(context_.get(), packet);
    if (result == AVERROR_EOF) return false;
    check_av(result, "demux", path_);
    return true;
}

std::vector<std::int64_t> MediaFile::count_packets() {
    std::vector<std::int64_t> counts(context_->nb_streams, 0);
    UniquePacket packet = make_packet();
    while (read(packet.get())) {
        // Demuxers that find streams as they go can add one after opening; it was not listed
        // then, so it has no count to keep.
        const auto index = static_cast<std::size_t>(packet->stream_index);
        if (index < counts.size()) ++counts[index];
    }
    return counts;
}

}  // namespace lorvex::container
