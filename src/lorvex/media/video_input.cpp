#include "lorvex/media/video_input.hpp"
#include "lorvex/media/remote_input.hpp"
#include "lorvex/protocol/remote_video.hpp"

#include <cerrno>
#include <memory>
#include <new>
#include <stdexcept>
#include <string_view>

#include <sys/stat.h>

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

// Opens `url`, or what `custom_input` reads where it is given.
UniqueFormatContext open_with(std::shared_ptr<ByteInput> custom_input, const std::string& url,
                              const std::string& path, StreamInfo info) {
    // Like the ffmpeg tools: find programs that a transport stream's first PAT does not list,
    // so the streams seen here are the ones the command line reports.
    AVDictionary* raw_options = nullptr;
    const int set = av_dict_set(&raw_options, "scan_all_pmts", "1", 0);
    UniqueDictionary options(raw_options);
    check_av(set, "open", path);

    AVFormatContext* raw_context = nullptr;
    if (custom_input) {
        raw_context = avformat_alloc_context();
        if (!raw_context) throw std::bad_alloc();
        raw_context->pb = custom_input->context();
        raw_context->flags |= AVFMT_FLAG_CUSTOM_IO;
    }
    raw_options = options.release();
    const int result = avformat_open_input(&raw_context, url.c_str(), nullptr, &raw_options);
    options.reset(raw_options);  // what the demuxer left unused
    if (result < 0) {
        // avformat_open_input has already freed the context.
        if (is_file_access_error(result)) throw FileAccessError(result, "open", path);
        throw AvError(result, "open", path);
    }
    UniqueFormatContext opened(raw_context, FormatContextCloser{std::move(custom_input)});
    // Probing decodes pictures of every stream with one thread: for a worker after a handful
    // of frames it is a large share of the whole job.
    if (info == StreamInfo::header_when_complete && header_is_complete(*opened)) return opened;
    check_av(avformat_find_stream_info(opened.get(), nullptr), "open", path);
    return opened;
}

// The demuxer, not the reading of the file, failed: it met the end of the file inside a
// packet, reports its end as an error (the VC-1 test format's demuxer), or found bytes it
// cannot read on from. The ffmpeg tools end the file there and show what came before.
// Bytes that could not be read at all (a failing disk, a dropped mount) are an error, and so
// is memory running out.
bool demuxer_gave_up(const AVFormatContext& format, int result) {
    if (result == AVERROR(ENOMEM) || result == AVERROR(EAGAIN)) return false;
    return format.pb != nullptr && format.pb->error == 0;
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
    if (const std::optional<remote_video::Locator> remote = remote_video::parse_locator(url)) {
        return open_with(std::make_shared<ByteInput>(remote_reader(*remote, url)), url, path, info);
    }
    return open_with(nullptr, url, path, info);
}

UniqueFormatContext open_video_input(const VideoSource& source, StreamInfo info) {
    if (!source.bytes) return open_video_input(source.path, source.path, info);
    return open_with(std::make_shared<ByteInput>(source.bytes()), "", source.path, info);
}

UniqueFormatContext open_video_input(std::unique_ptr<ByteReader> reader, const std::string& path,
                                     StreamInfo info) {
    return open_with(std::make_shared<ByteInput>(std::move(reader)), path, path, info);
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
    if (result >= 0) return true;
    if (result == AVERROR_EOF || demuxer_gave_up(format, result)) return false;
    throw AvError(result, "demux", path);
}

}  // namespace lorvex
