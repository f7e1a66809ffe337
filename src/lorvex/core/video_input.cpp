#include "lorvex/core/video_input.hpp"

#include <cerrno>
#include <memory>
#include <string_view>

namespace lorvex {
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

}  // namespace

bool header_is_complete(const AVFormatContext& format) {
    // The MOV/MP4 demuxer reads the whole sample table in its header: timestamps and keyframe
    // flags come from there, not from a parser or the decoder's delay, and no stream appears
    // later.
    return format.iformat != nullptr &&
           std::string_view(format.iformat->name).starts_with("mov,") &&
           (format.ctx_flags & AVFMTCTX_NOHEADER) == 0;
}

UniqueFormatContext open_video_input(const std::string& url, const std::string& path,
                                     StreamInfo info) {
    // Like the ffmpeg tools: find programs that a transport stream's first PAT does not list,
    // so the streams seen here are the ones the command line reports.
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
    UniqueFormatContext context(raw_context);
    // Probing decodes pictures of every stream with one thread: for a worker after a handful
    // of frames it is a large share of the whole job.
    if (info == StreamInfo::header_when_complete && header_is_complete(*context)) return context;
    check_av(avformat_find_stream_info(context.get(), nullptr), "open", path);
    return context;
}

int first_video_stream(const AVFormatContext& format) {
    for (unsigned i = 0; i < format.nb_streams; ++i) {
        if (format.streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool read_next_packet(AVFormatContext& format, AVPacket& packet, const std::string& path) {
    av_packet_unref(&packet);
    const int result = av_read_frame(&format, &packet);
    if (result == AVERROR_EOF) return false;
    check_av(result, "demux", path);
    return true;
}

}  // namespace lorvex
