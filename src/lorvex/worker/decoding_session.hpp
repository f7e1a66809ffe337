// What a decoder keeps between the frames it delivers: the file as it found it, the file's
// frame table, the codec once it is needed, and where decoding stands. A worker program's job
// uses one for its own frames; a warm decoder keeps one for all the jobs of a video.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "lorvex/media/video_input.hpp"
#include "lorvex/protocol/frame_table_file.hpp"
#include "lorvex/protocol/owned_frames.hpp"
#include "lorvex/worker/video_decoder.hpp"

namespace lorvex {

// A frame could not be delivered; what() names the file and the frame.
class DecodeError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The file as a job found it. A file rewritten, truncated or replaced while it is read gives
// pictures of neither state, or of the other file: no row decoded after the change may be
// handed over as a frame of the file the load asked for.
class FileWatch {
  public:
    explicit FileWatch(std::string path);

    const std::optional<FileIdentity>& found() const noexcept { return found_; }

    bool changed() const;
    // Throws DecodeError when the file is no longer the one found.
    void require_unchanged() const;

  private:
    std::string path_;
    std::optional<FileIdentity> found_;
};

// Called with each picture delivered and the frame it is; the picture is valid during the call.
using PictureTaken = std::function<void(const AVFrame& picture, const OwnedFrame& frame)>;

class DecodingSession {
  public:
    // The table the loader handed over for the file (inherited), else one made here by a pass
    // over the packets. A file that is no longer what the handed-over table was made from
    // fails with DecodeError: its rows would come from another video.
    explicit DecodingSession(VideoSource source);

    // A decoder that opened the file before its table came: `watch` is the file as `decoder`
    // opened it, `table` the caller's. A file that is no longer what the table was made from
    // fails with DecodeError.
    DecodingSession(VideoSource source, FileWatch watch, IdentifiedTable table,
                    VideoDecoder decoder);

    const FrameTable& table() const noexcept { return table_; }
    const FileWatch& watch() const noexcept { return watch_; }
    const std::string& path() const noexcept { return source_.path; }

    // What the decoder does after the last frame of a delivery: keep its place, so that a
    // next delivery that begins shortly after decodes on; or drain, which gives the last frame
    // without first decoding the packets after it (as many as the decoder has frame threads
    // and reorders), and leaves the next delivery to seek.
    enum class Ending { keep_place, drain };

    // Hands each of `frames` (by increasing frame index) to `take`, decoding with `threads`
    // threads (a decoder opened with another count is opened anew). Decodes on from where the
    // last delivery left off where that is cheaper than a seek.
    void deliver(const std::vector<OwnedFrame>& frames, int threads, const PictureTaken& take,
                 Ending ending = Ending::keep_place);

    // The rank of the last picture that came out and was recognised; -1 before any.
    std::int64_t reached() const noexcept { return position_.reached; }

  private:
    // Where the decoder stands, and what the pictures it shows next are.
    struct Position {
        // The keyframe decoding started at; nothing for the first packet of the file.
        std::optional<std::size_t> keyframe;
        // Pictures of lower rank that come out are leading pictures of that keyframe,
        // decoded without the pictures they refer to.
        std::int64_t trusted_from = 0;
        // The rank of the last picture that came out and was recognised.
        std::int64_t reached = -1;
        // Streams without pts, whose pictures are counted: pictures stamped with a dts below
        // this one come from packets before the keyframe that counting starts at, and are
        // not counted.
        std::optional<std::int64_t> sync_dts;
    };
    // A picture's stamp and rank, ordered by stamp, then rank.
    struct StampedRank {
        std::int64_t stamp;
        std::int64_t rank;
        friend auto operator<=>(const StampedRank&, const StampedRank&) = default;
    };

    const TableKeyframe& keyframe(std::size_t index) const { return table_.keyframes[index]; }
    void index_stamps();
    void use_threads(int threads);
    std::optional<std::int64_t> recognise();
    // Whether another picture has the stamp of picture `rank` (a packet without pts whose dts
    // is the pts of another).
    bool stamp_shared(std::int64_t rank) const;
    void position_for(std::int64_t target);
    void start_earlier(std::int64_t target, int retries);
    void rewind();
    bool start_at(std::size_t index);
    std::optional<std::size_t> land(std::size_t index);

    VideoSource source_;
    FileWatch watch_;
    FrameTable table_;
    std::vector<StampedRank> by_stamp_;
    // Stamps that rise with rank tell, packet by packet, which pictures come before a target.
    bool skip_allowed_ = false;
    std::optional<VideoDecoder> decoder_;  // opened once there is something to decode
    Position position_;                    // freshly opened: at the first packet
};

}  // namespace lorvex
