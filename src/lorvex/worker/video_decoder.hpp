// The first video stream of a file, demuxed and decoded in presentation order. Each picture
// carries the stamp of the packet it came from: the packet's pts, or its dts where it has none
// (its place in the file, for a stream stamped by position).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "lorvex/media/ffmpeg.hpp"
#include "lorvex/media/packed_frames.hpp"
#include "lorvex/media/video_input.hpp"

namespace lorvex {

// The timestamps of a keyframe packet that reading resumed at.
struct Landing {
    std::int64_t stamp = AV_NOPTS_VALUE;  // pts, or dts where the packet has no pts
    std::int64_t dts = AV_NOPTS_VALUE;
};

class VideoDecoder {
  public:
    // Opens `path` (see video_input.hpp) and the decoder of its first video stream with
    // `threads` decoding threads.
    VideoDecoder(std::string path, int threads);
    VideoDecoder(VideoSource source, int threads);

    const std::string& path() const noexcept { return source_.path; }

    // Seeks to the last keyframe at or before `timestamp` (as the demuxer understands it; in a
    // stream stamped by position, to the packet at byte `timestamp`) and returns the stamps of
    // the keyframe packet reading resumes at, or nothing when none follows the seek point.
    // The decoder starts afresh.
    std::optional<Landing> seek(std::int64_t timestamp);

    // Back to the very first packet of the file; the decoder starts afresh.
    void rewind();

    // The next picture in presentation order, or nullptr once the stream is exhausted. It stays
    // valid until the next call that moves the decoder. A failed read throws AvError; damaged
    // packets are skipped, as the ffmpeg command line does, and remembered.
    AVFrame* next_frame();

    // The stream's packets carry no timestamps (FrameTable::by_position): each picture is
    // stamped with the place in the file of the packet it came from, and seeks go to places.
    void stamp_by_position() noexcept { by_position_ = true; }

    // The stamp of the picture next_frame() returned last, when it has one.
    std::optional<std::int64_t> frame_stamp() const noexcept { return frame_stamp_; }

    // The reason of the last packet the decoder refused, if any since the last seek.
    const std::string& last_decode_error() const noexcept { return last_decode_error_; }

    int decoding_threads() const noexcept { return codec_->thread_count; }

    // Opens the codec anew with `threads` threads (at least one). The pictures decoded so far
    // are forgotten: the next one comes after a seek or a rewind.
    void set_threads(int threads);

    // Packets stamped below `stamp` whose pictures no other picture refers to are dropped
    // unseen (the decoder's own judgement, AVDISCARD_NONREF; H.264 and HEVC only, whose
    // bitstreams say so): their pictures do not come out, and no other picture changes.
    // Nothing: every packet is decoded.
    void skip_unreferenced_before(std::optional<std::int64_t> stamp) noexcept {
        skip_before_ = stamp;
    }

    // Once the packet stamped `stamp` is sent, the decoder is drained: the pictures it holds
    // come out without the packets after, which it would decode first to fill its frame
    // threads and its reordering. Decoding goes on only after a seek or a rewind.
    void drain_after(std::int64_t stamp) noexcept { drain_after_ = stamp; }

  private:
    void open_input();
    void open_codec();
    void reset_position();
    bool read_packet();     // the next packet of the stream into packet_; false at the end
    void prepare_packet();  // packet_ unpacked (packed_frames.hpp) and stamped
    void feed();            // one packet, or at the end of the file the drain request

    VideoSource source_;
    int threads_;
    UniqueFormatContext format_;
    std::optional<FrameUnpacker> unpacker_;  // made with each opening of the file
    UniqueCodecContext codec_;
    UniquePacket packet_ = make_packet();
    UniqueFrame frame_ = make_frame();
    int stream_index_ = -1;
    bool packet_pending_ = false;  // packet_ holds a read packet not yet sent
    bool input_done_ = false;      // the drain request has been sent
    bool output_done_ = false;     // the decoder has given its last picture
    std::optional<std::int64_t> frame_stamp_;
    std::optional<std::int64_t> skip_before_;
    std::optional<std::int64_t> drain_after_;
    bool drain_next_ = false;  // the packet to drain after has been sent
    bool by_position_ = false;
    std::string last_decode_error_;
};

}  // namespace lorvex
