#include "lorvex/core/video_decoder.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <thread>

namespace lorvex {
namespace {

// The timestamp the planner's probe gives a packet.
std::optional<std::int64_t> packet_timestamp(const AVPacket& packet) {
    if (packet.pts != AV_NOPTS_VALUE) return packet.pts;
    if (packet.dts != AV_NOPTS_VALUE) return packet.dts;
    return std::nullopt;
}

}  // namespace

int decoding_threads(int num_workers) {
    const int cores = static_cast<int>(std::thread::hardware_concurrency());
    return std::max(1, cores / std::max(1, num_workers));
}

VideoDecoder::VideoDecoder(std::string path, int threads) : path_(std::move(path)) {
    open_input();
    const AVStream* stream = format_->streams[stream_index_];
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec) throw AvError(AVERROR_DECODER_NOT_FOUND, "find a video decoder for", path_);
    codec_.reset(avcodec_alloc_context3(codec));
    if (!codec_) throw std::bad_alloc();
    check_av(avcodec_parameters_to_context(codec_.get(), stream->codecpar), "configure decoder for",
             path_);
    codec_->pkt_timebase = stream->time_base;
    codec_->thread_count = std::max(1, threads);
    codec_->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    check_av(avcodec_open2(codec_.get(), codec, nullptr), "open the video decoder for", path_);
    // The first packet tells whether the container stores pts; it stays queued for decoding.
    if (read_packet()) {
        packet_pending_ = true;
        dts_only_ = packet_->pts == AV_NOPTS_VALUE && packet_->dts != AV_NOPTS_VALUE;
        seeking_keeps_timestamps_ = !(dts_only_ && codec_->has_b_frames > 0);
    }
}

void VideoDecoder::open_input() {
    AVFormatContext* raw = nullptr;
    check_av(avformat_open_input(&raw, path_.c_str(), nullptr, nullptr), "open", path_);
    format_.reset(raw);
    check_av(avformat_find_stream_info(format_.get(), nullptr), "read stream information of",
             path_);
    stream_index_ =
        check_av(av_find_best_stream(format_.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0),
                 "find a video stream in", path_);
    for (unsigned i = 0; i < format_->nb_streams; ++i) {
        if (static_cast<int>(i) != stream_index_) format_->streams[i]->discard = AVDISCARD_ALL;
    }
}

namespace {

std::vector<std::int64_t> keyframe_entries(AVStream* stream) {
    std::vector<std::int64_t> timestamps;
    const int count = avformat_index_get_entries_count(stream);
    for (int i = 0; i < count; ++i) {
        const AVIndexEntry* entry = avformat_index_get_entry(stream, i);
        if (entry && (entry->flags & AVINDEX_KEYFRAME) && entry->timestamp != AV_NOPTS_VALUE) {
            timestamps.push_back(entry->timestamp);
        }
    }
    std::sort(timestamps.begin(), timestamps.end());
    timestamps.erase(std::unique(timestamps.begin(), timestamps.end()), timestamps.end());
    return timestamps;
}

}  // namespace

std::vector<std::int64_t> VideoDecoder::indexed_keyframes() const {
    AVStream* stream = format_->streams[stream_index_];
    std::vector<std::int64_t> timestamps = keyframe_entries(stream);
    if (avformat_index_get_entries_count(stream) > 1 || !format_->iformat->read_seek) {
        return timestamps;
    }
    // Matroska reads its index (the cues) at the first seek only. Seeking this demuxer would
    // change where decoding starts, so let a second one of the same file do it.
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path_.c_str(), nullptr, nullptr) < 0) return timestamps;
    const UniqueFormatContext other(raw);
    if (static_cast<int>(other->nb_streams) <= stream_index_) return timestamps;
    AVStream* twin = other->streams[stream_index_];
    if (av_seek_frame(other.get(), stream_index_,
                      stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time,
                      AVSEEK_FLAG_BACKWARD) < 0) {
        return timestamps;
    }
    std::vector<std::int64_t> twin_timestamps = keyframe_entries(twin);
    return twin_timestamps.size() > timestamps.size() ? twin_timestamps : timestamps;
}

void VideoDecoder::reset_position() {
    avcodec_flush_buffers(codec_.get());
    av_packet_unref(packet_.get());
    packet_pending_ = false;
    input_done_ = false;
    output_done_ = false;
    unclaimed_dts_.clear();
    frame_timestamp_.reset();
    furthest_packet_.reset();
    landing_.reset();
    unshown_pts_.clear();
    lost_pictures_ = false;
    sync_dts_.reset();
}

void VideoDecoder::rewind() {
    reset_position();
    format_.reset();
    open_input();
}

std::optional<std::int64_t> VideoDecoder::seek(std::int64_t timestamp) {
    reset_position();
    if (av_seek_frame(format_.get(), stream_index_, timestamp, AVSEEK_FLAG_BACKWARD) < 0) {
        return std::nullopt;
    }
    while (read_packet()) {
        if (packet_->flags & AV_PKT_FLAG_KEY) {
            // Some demuxers resume mid-stream with the timestamps one packet off, which shows
            // as a keyframe without pts in a stream that has them; the pictures' timestamps
            // would then be off too.
            if (!dts_only_ && packet_->pts == AV_NOPTS_VALUE) return std::nullopt;
            packet_pending_ = true;
            landing_ = packet_timestamp(*packet_);
            return landing_;
        }
        av_packet_unref(packet_.get());  // undecodable without the pictures before the seek
    }
    return std::nullopt;
}

std::optional<std::int64_t> VideoDecoder::seek_before(std::int64_t keyframe_dts) {
    if (keyframe_dts == std::numeric_limits<std::int64_t>::min()) return std::nullopt;
    const std::optional<std::int64_t> landing = seek(keyframe_dts - 1);
    // Landing on the keyframe itself would leave the pictures shown before it undecodable,
    // and uncounted.
    if (!landing || *landing >= keyframe_dts) return std::nullopt;
    sync_dts_ = keyframe_dts;
    return keyframe_dts;
}

bool VideoDecoder::read_packet() {
    for (;;) {
        av_packet_unref(packet_.get());
        // Read errors end the stream, as they do for the ffmpeg command line.
        if (av_read_frame(format_.get(), packet_.get()) < 0) return false;
        // An empty packet would read as a drain request; containers use them for dropped frames.
        if (packet_->stream_index != stream_index_ || packet_->size == 0) continue;
        if (const auto timestamp = packet_timestamp(*packet_)) {
            furthest_packet_ = std::max(furthest_packet_.value_or(*timestamp), *timestamp);
        }
        return true;
    }
}

void VideoDecoder::feed() {
    if (!packet_pending_ && !read_packet()) {
        // The return value only says whether a drain was already requested.
        avcodec_send_packet(codec_.get(), nullptr);
        input_done_ = true;
        return;
    }
    packet_pending_ = false;
    const std::int64_t dts = packet_->dts;
    // Pictures of discarded packets (edit lists) are meant to vanish.
    const bool shows = !(packet_->flags & AV_PKT_FLAG_DISCARD);
    const std::int64_t pts = packet_->pts;
    // The decoder hands each picture the pts of its own packet: for a stream without pts,
    // that tells which pictures come from packets before the keyframe seek_before() aims at.
    if (dts_only_) packet_->pts = packet_->dts;
    // Damaged packets are skipped, as the ffmpeg command line does; the pictures around them
    // still come out.
    const int sent = avcodec_send_packet(codec_.get(), packet_.get());
    if (sent == AVERROR(EAGAIN)) {
        packet_pending_ = true;  // not consumed: send again once a picture has been taken
        return;
    }
    // Only reordering decoders drop pictures this way; others legitimately show none for
    // some packets (VP9's hidden frames).
    if (sent >= 0 && landing_ && codec_->has_b_frames > 0 && !dts_only_ && shows &&
        pts != AV_NOPTS_VALUE && pts >= *landing_) {
        unshown_pts_.insert(pts);
    }
    if (sent >= 0 && dts_only_ && dts != AV_NOPTS_VALUE) {
        unclaimed_dts_.insert(std::upper_bound(unclaimed_dts_.begin(), unclaimed_dts_.end(), dts),
                              dts);
    }
    av_packet_unref(packet_.get());
}

void VideoDecoder::note_shown(std::int64_t pts) {
    if (!landing_) return;
    if (const auto shown = unshown_pts_.find(pts); shown != unshown_pts_.end()) {
        unshown_pts_.erase(shown);
    }
    // Pictures come out in pts order: a smaller pts still waiting will never come.
    if (!unshown_pts_.empty() && *unshown_pts_.begin() < pts) lost_pictures_ = true;
}

void VideoDecoder::claim_dts() {
    frame_timestamp_.reset();
    if (sync_dts_) {
        const std::int64_t own = frame_->pts;
        if (own == AV_NOPTS_VALUE) {
            lost_pictures_ = true;  // pictures cannot be told apart by packet
            return;
        }
        // Pictures of packets before the keyframe are all shown before those of packets from
        // it on, which start at the keyframe's own position, j: the one of dts[j].
        if (own < *sync_dts_) return;
        while (!unclaimed_dts_.empty() && unclaimed_dts_.front() < *sync_dts_) {
            unclaimed_dts_.pop_front();
        }
        sync_dts_.reset();
    }
    // The k-th picture shown stands at the k-th packet dts.
    if (!unclaimed_dts_.empty()) {
        frame_timestamp_ = unclaimed_dts_.front();
        unclaimed_dts_.pop_front();
    }
}

AVFrame* VideoDecoder::next_frame() {
    int failures = 0;
    while (!output_done_) {
        av_frame_unref(frame_.get());
        const int received = avcodec_receive_frame(codec_.get(), frame_.get());
        if (received >= 0) {
            if (dts_only_) {
                claim_dts();
            } else if (frame_->best_effort_timestamp != AV_NOPTS_VALUE) {
                frame_timestamp_ = frame_->best_effort_timestamp;
                note_shown(*frame_timestamp_);
            } else {
                frame_timestamp_.reset();
            }
            return frame_.get();
        }
        if (received == AVERROR_EOF) {
            output_done_ = true;
            if (!unshown_pts_.empty() || sync_dts_) lost_pictures_ = true;
        } else if (received == AVERROR(EAGAIN)) {
            if (input_done_) {
                output_done_ = true;  // drained but the decoder disagrees: nothing more comes
            } else {
                feed();
            }
        } else if (++failures > 10000) {
            throw AvError(received, "decode", path_);
        }
    }
    return nullptr;
}

}  // namespace lorvex
