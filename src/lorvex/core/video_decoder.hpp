// One video stream of a file, demuxed and decoded in presentation order, with the timestamps
// the planner counted: packet pts, or packet dts where the container stores no pts.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "lorvex/core/ffmpeg.hpp"

namespace lorvex {

class VideoDecoder {
  public:
    // Opens `path` and the decoder of its best video stream with `threads` decoding threads.
    VideoDecoder(std::string path, int threads);

    const std::string& path() const noexcept { return path_; }

    // Timestamps of the keyframes in the demuxer's index, ascending. Their kind depends on the
    // container (mp4 indexes dts); use them only as seek targets and verify the landing.
    std::vector<std::int64_t> indexed_keyframes() const;

    // Seeks to the last keyframe at or before `timestamp` and returns the timestamp of the
    // keyframe packet reading resumes at, or nothing when no keyframe follows the seek point.
    // Packets before that keyframe are dropped; the decoder starts afresh.
    std::optional<std::int64_t> seek(std::int64_t timestamp);

    // Back to the very first packet of the file.
    void rewind();

    // False for a stream without pts whose pictures are reordered: after a plain seek, the
    // pictures shown before the landing keyframe may be dropped unseen, and the k-th picture
    // shown could no longer be matched with the k-th dts. Use seek_before() for such streams.
    bool seeking_keeps_timestamps() const noexcept { return seeking_keeps_timestamps_; }

    // For those streams: lands on the keyframe before the keyframe whose packet has dts
    // `keyframe_dts`, so that the pictures of the packets from that keyframe on all decode,
    // those shown before it included. Pictures of earlier packets come out without timestamp;
    // the others get what a decode from the start of the file gives them. Returns
    // keyframe_dts, or nothing when the demuxer cannot land before it.
    std::optional<std::int64_t> seek_before(std::int64_t keyframe_dts);

    // The next picture in presentation order, or nullptr once the stream is exhausted. It stays
    // valid until the next call that moves the decoder.
    AVFrame* next_frame();

    // The timestamp of the picture next_frame() returned last, when it has one.
    std::optional<std::int64_t> frame_timestamp() const noexcept { return frame_timestamp_; }

    // True once the decoder, since the last seek, has skipped a picture it should have shown:
    // some decoders lose pictures after landing on a keyframe that is not a clean start.
    // The pictures shown before the gap are sound; nothing after it can be trusted.
    bool lost_pictures() const noexcept { return lost_pictures_; }

    // The largest timestamp among the packets read since the last seek or rewind.
    std::optional<std::int64_t> furthest_packet() const noexcept { return furthest_packet_; }

  private:
    void open_input();
    void reset_position();
    // Reads the next packet of the stream into packet_; false at the end of the file.
    bool read_packet();
    // Feeds the decoder one packet or, at the end of the file, the drain request.
    void feed();
    void note_shown(std::int64_t pts);
    void claim_dts();

    std::string path_;
    UniqueFormatContext format_;
    UniqueCodecContext codec_;
    UniquePacket packet_ = make_packet();
    UniqueFrame frame_ = make_frame();
    int stream_index_ = -1;
    bool packet_pending_ = false;  // packet_ holds a read packet not yet sent
    bool input_done_ = false;      // the drain request has been sent
    bool output_done_ = false;     // the decoder has given its last picture
    // Containers without pts: the dts of sent packets, handed out to pictures in order.
    bool dts_only_ = false;
    bool seeking_keeps_timestamps_ = true;
    std::deque<std::int64_t> unclaimed_dts_;
    std::optional<std::int64_t> frame_timestamp_;
    std::optional<std::int64_t> furthest_packet_;
    // After a seek: pts of packets read from the landing keyframe on, not yet shown.
    std::optional<std::int64_t> landing_;
    std::multiset<std::int64_t> unshown_pts_;
    bool lost_pictures_ = false;
    // After seek_before(): the keyframe's dts, until a picture of it or a later packet shows.
    std::optional<std::int64_t> sync_dts_;
};

// Decoding threads for one of `num_workers` workers sharing the machine's cores.
int decoding_threads(int num_workers);

}  // namespace lorvex
